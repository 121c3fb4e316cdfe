#include "AttachedZip.h"

#include "EntryNames.h"
#include "SfxError.h"
#include "StructureCheck.h"
#include "ZipFormat.h"

#include <cstring>
#include <ctime>

namespace {

const char TrailerMagic[8] = {'P', 'L', 'V', 'S', 'F', 'X', '0', '1'};
const std::uint64_t TrailerSize = 16;
// A settings block holds a folder, a message and a program path; anything
// larger is not one of ours and is not worth holding in memory.
const std::uint64_t MaxSettings = 16 * 1024 * 1024;

} // namespace

AttachedZip::AttachedZip(const std::string& path, const std::string& shownName)
    : m_shownName(shownName)
    , m_source(path)
    , m_data(m_source, m_directory.layout)
{
    if (!m_source.isOpen() || m_source.lastError() != 0)
        throw SfxError("cannot read " + shownName + ": " + std::strerror(m_source.lastError()));
    try {
        m_directory = zipcore::readDirectory(m_source);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(describe(error));
    }
    readSettings();
}

void AttachedZip::readSettings()
{
    const std::uint64_t zipStart = m_directory.layout.zipStart;
    unsigned char trailer[TrailerSize];
    if (zipStart < TrailerSize || !m_source.readAt(zipStart - TrailerSize, trailer, sizeof trailer)
        || std::memcmp(trailer, TrailerMagic, sizeof TrailerMagic) != 0)
        return; // an archive simply appended to the runtime: the defaults apply

    const std::uint64_t length = zipcore::get64(trailer + 8);
    const std::uint64_t trailerStart = zipStart - TrailerSize;
    if (length > trailerStart || length > MaxSettings)
        throw SfxError(m_shownName + ": the self-extractor's settings are damaged (impossible length)");
    std::string block(static_cast<std::size_t>(length), '\0');
    if (length && !m_source.readAt(trailerStart - length, &block[0], block.size()))
        throw SfxError("cannot read " + m_shownName + ": " + std::strerror(m_source.lastError()));
    m_settings = SfxSettings::parse(block);
}

void AttachedZip::checkStructure()
{
    try {
        zipcore::checkStructure(m_source, m_directory);
    } catch (const zipcore::ZipError& error) {
        throw SfxError(describe(error));
    }
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
            zipcore::EntryData::checkReadable(entry);
        if (entry.kind == EntryKind::Link)
            plan.linkTarget = m_data.linkTarget(entry);
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

std::string AttachedZip::describe(const zipcore::ZipError& error) const
{
    using zipcore::ZipErrc;
    // Escaped here already: the message travels as a C string.
    const std::string subject = zipcore::printableName(error.subject());
    const std::string& cause = error.cause();
    switch (error.code()) {
        case ZipErrc::NotAnArchive: return m_shownName + " carries no zip data: this self-extractor is incomplete";
        case ZipErrc::Damaged:
        case ZipErrc::ReadFailed:
            if (subject.empty())
                return m_shownName + ": the attached zip data is damaged (" + cause + ")";
            return "cannot read entry \"" + subject + "\": " + cause;
        case ZipErrc::UnsafeName:
        case ZipErrc::LinkOutside:
        case ZipErrc::PathThroughLink:
        case ZipErrc::Encrypted:
        case ZipErrc::UnsupportedMethod:
            return "refusing entry \"" + subject + "\": " + cause + "; nothing was extracted";
        case ZipErrc::CorruptEntry: return "entry \"" + subject + "\" is damaged: " + cause;
        case ZipErrc::CannotCreateFolder: return "cannot create folder " + subject + ": " + cause;
        case ZipErrc::CannotWrite: return "cannot write " + subject + ": " + cause;
    }
    return subject + ": " + cause;
}
