#ifndef PLOVERN_SFX_ATTACHEDZIP_H
#define PLOVERN_SFX_ATTACHEDZIP_H

#include "EntryData.h"
#include "FileSource.h"
#include "SafetyRules.h"
#include "SfxFormat.h"
#include "ZipDirectory.h"
#include "ZipError.h"

#include <ctime>
#include <string>
#include <vector>

namespace zipcore {
class ActionPassword;
}

// The zip data carried by a self-extractor, usually the program's own file
// (/proc/self/exe), and the settings block in front of it (FORMAT.md), read
// through the zip core from exactly where this program's anchor says: the
// maker wrote that place into the anchor of its copy of the runtime, so
// nothing the archive holds decides what is read.
class AttachedZip
{
public:
    // Throws SfxError when the file cannot be read, carries no archive (a
    // runtime on its own) or is damaged. `shownName` names the file in
    // messages.
    AttachedZip(const std::string& path, const std::string& shownName);

    const zipcore::Directory& directory() const { return m_directory; }
    const zipcore::SfxSettings& settings() const { return m_settings; }
    zipcore::EntryData& data() { return m_data; }

    // Where encrypted entries get their password (the runtime's prompt);
    // without one they are refused. Stays the caller's.
    void setPassword(zipcore::ActionPassword* password) { m_password = password; }
    zipcore::ActionPassword* password() const { return m_password; }

    // The local time of an entry: its extended timestamp, else its DOS field
    // read as local wall-clock time.
    static std::time_t modified(const zipcore::Entry& entry);

    // The structure every reader checks before writing or testing
    // (zipcore::checkStructure). Throws SfxError with the message.
    void checkStructure();

    // Every entry to extract, checked on its own (after checkStructure): its name (with
    // `systemNameCheck` adding the system's own rules, if given), whether its
    // data can be read, and for links the target stored as its data. Entries
    // naming the folder itself ("./") are left out. Throws zipcore::ZipError
    // for the first entry refused; the link rules are the caller's next step.
    struct Plan
    {
        std::vector<zipcore::PlannedEntry> plans;
        std::vector<const zipcore::Entry*> entries; // beside each plan
        std::uint64_t fileBytes = 0;                // the data of the file entries
    };
    using NameCheck = void (*)(const std::string& name, const zipcore::EntryPath& parts);
    Plan plan(NameCheck systemNameCheck = nullptr);

    // The message for a failure of the zip core, naming what it concerns.
    // `written` is given once extraction has begun writing (the files and
    // links written so far); the message then says where it stopped rather
    // than that nothing was extracted.
    std::string describe(const zipcore::ZipError& error, const std::vector<std::string>* written = nullptr) const;

private:
    std::string linkTarget(const zipcore::Entry& entry);

    std::string m_shownName;
    zipcore::FileSource m_source;
    zipcore::Directory m_directory;
    zipcore::SfxSettings m_settings;
    zipcore::EntryData m_data;
    zipcore::ActionPassword* m_password = nullptr;
};

#endif // PLOVERN_SFX_ATTACHEDZIP_H
