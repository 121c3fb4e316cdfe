#include "AttachedZip.h"

#ifdef PLOVERN_WITH_DECRYPTION
#include "EntryDecryption.h"
#endif

#include "EntryNames.h"
#include "SfxError.h"
#include "StructureCheck.h"
#include "ZipFormat.h"

#include <cstring>
#include <ctime>

namespace {

// The anchor (see SfxFormat.h): the maker finds the marker in its copy of
// this program and writes where the settings block starts into the 8 bytes
// after it. Volatile, so that the compiler neither folds the 0 it holds here
// into the code nor drops the array.
volatile unsigned char anchor[zipcore::SfxAnchorSize] = {
    zipcore::sfxAnchorMarkerByte(0),  zipcore::sfxAnchorMarkerByte(1),  zipcore::sfxAnchorMarkerByte(2),
    zipcore::sfxAnchorMarkerByte(3),  zipcore::sfxAnchorMarkerByte(4),  zipcore::sfxAnchorMarkerByte(5),
    zipcore::sfxAnchorMarkerByte(6),  zipcore::sfxAnchorMarkerByte(7),  zipcore::sfxAnchorMarkerByte(8),
    zipcore::sfxAnchorMarkerByte(9),  zipcore::sfxAnchorMarkerByte(10), zipcore::sfxAnchorMarkerByte(11),
    zipcore::sfxAnchorMarkerByte(12), zipcore::sfxAnchorMarkerByte(13), zipcore::sfxAnchorMarkerByte(14),
    zipcore::sfxAnchorMarkerByte(15)};

std::uint64_t settingsStart()
{
    std::uint64_t value = 0;
    for (std::size_t i = zipcore::SfxAnchorSize; i-- > zipcore::SfxAnchorMarkerSize;)
        value = (value << 8) | anchor[i];
    return value;
}

} // namespace

AttachedZip::AttachedZip(const std::string& path, const std::string& shownName)
    : m_shownName(shownName)
    , m_source(path)
    , m_data(m_source, m_directory.layout)
{
    if (!m_source.isOpen() || m_source.lastError() != 0)
        throw SfxError("cannot read " + shownName + ": " + std::strerror(m_source.lastError()));
    try {
        zipcore::SelfExtractor read = zipcore::readSelfExtractor(m_source, settingsStart());
        m_directory = std::move(read.directory);
        m_settings = std::move(read.block.settings);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(describe(error));
    }
}

void AttachedZip::checkStructure()
{
    try {
        zipcore::checkStructure(m_source, m_directory);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(describe(error));
    }
}

std::string AttachedZip::linkTarget(const zipcore::Entry& entry)
{
#ifdef PLOVERN_WITH_DECRYPTION
    if (entry.encrypted() && m_password) {
        std::string target;
        m_password->write(entry, [&](const std::string& password) { target = m_data.linkTarget(entry, &password); });
        return target;
    }
#endif
    return m_data.linkTarget(entry);
}

AttachedZip::Plan AttachedZip::plan(NameCheck systemNameCheck)
{
    using zipcore::EntryKind;
    checkStructure();
    Plan result;
    for (const zipcore::Entry& entry : m_directory.entries) {
        zipcore::PlannedEntry plan;
        plan.name = entry.name;
        plan.kind = entry.kind;
        plan.parts = zipcore::entryParts(entry.name, entry.kind == EntryKind::Folder);
        if (systemNameCheck)
            systemNameCheck(entry.name, plan.parts);
        if (entry.kind != EntryKind::Folder)
            zipcore::EntryData::checkReadable(entry, m_password != nullptr);
        if (entry.kind == EntryKind::Link)
            plan.linkTarget = linkTarget(entry);
        if (entry.kind == EntryKind::File)
            result.fileBytes += entry.size;
        if (plan.parts.empty())
            continue; // "./": the folder itself
        result.plans.push_back(std::move(plan));
        result.entries.push_back(&entry);
    }
    return result;
}

std::time_t AttachedZip::modified(const zipcore::Entry& entry)
{
    if (entry.hasExactTime)
        return static_cast<std::time_t>(entry.mtime);
    const zipcore::DosDateTime t = zipcore::dosDateTime(entry.dosDate, entry.dosTime);
    std::tm local{};
    local.tm_year = t.year - 1900;
    local.tm_mon = t.month - 1;
    local.tm_mday = t.day;
    local.tm_hour = t.hour;
    local.tm_min = t.minute;
    local.tm_sec = t.second;
    local.tm_isdst = -1; // the DOS field is local time, with whatever daylight saving applied then
    const std::time_t seconds = std::mktime(&local);
    return seconds == static_cast<std::time_t>(-1) ? 0 : seconds;
}

std::string AttachedZip::describe(const zipcore::ZipError& error, const std::vector<std::string>* written) const
{
    using zipcore::ZipErrc;
    // Escaped here already: the message travels as a C string.
    const std::string subject = zipcore::printableName(error.subject());
    const std::string& cause = error.cause();
    // A refusal while writing (a link on disk the checks could not foresee,
    // say) comes after folders and files were made, and they stay.
    std::string outcome = "; nothing was extracted";
    if (written && written->empty())
        outcome = "; extraction stopped there (folders made before it stay)";
    else if (written)
        outcome = "; extraction stopped there, after " + std::to_string(written->size())
            + (written->size() == 1 ? " file or link" : " files and links") + " (they stay)";
    // These come from writing only, so what was written is said too.
    if (written && error.code() == ZipErrc::CannotCreateFolder)
        return "cannot create folder " + subject + ": " + cause + outcome;
    if (written && error.code() == ZipErrc::CannotWrite)
        return "cannot write " + subject + ": " + cause + outcome;
    switch (error.code()) {
        case ZipErrc::NotAnArchive:
            return m_shownName + " holds no archive: it is the self-extractor runtime on its own";
        case ZipErrc::Damaged:
        case ZipErrc::ReadFailed:
            if (subject.empty())
                return m_shownName + " is damaged (" + cause + ")" + outcome;
            return "cannot read entry \"" + subject + "\": " + cause;
        case ZipErrc::UnsafeName:
        case ZipErrc::LinkOutside:
        case ZipErrc::PathThroughLink:
        case ZipErrc::Encrypted:
        case ZipErrc::UnsupportedMethod: return "refusing entry \"" + subject + "\": " + cause + outcome;
        case ZipErrc::CorruptEntry: return "entry \"" + subject + "\" is damaged: " + cause;
        case ZipErrc::WrongPassword:
        case ZipErrc::PasswordDataMismatch: return "cannot decrypt entry \"" + subject + "\": " + cause;
        case ZipErrc::NoPassword: return "no password for entry \"" + subject + "\"; extraction cancelled";
        case ZipErrc::CannotCreateFolder: return "cannot create folder " + subject + ": " + cause;
        case ZipErrc::CannotWrite: return "cannot write " + subject + ": " + cause;
    }
    return subject + ": " + cause;
}
