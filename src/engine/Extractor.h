#ifndef PLOVERN_EXTRACTOR_H
#define PLOVERN_EXTRACTOR_H

#include "EntryTimes.h"
#include "OpenArchive.h"
#include "SafetyRules.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace zipcore {
class ActionPassword;
class PasswordSource;
class PosixTargetFolder;
} // namespace zipcore

// Writes chosen entries of an archive into a folder. Every entry is checked
// first (names, links, links already on disk, encryption, methods), and only
// when all pass is anything written. Writing goes through the zip core's
// PosixTargetFolder, which reaches every folder below the target through
// descriptors and never follows a link out of it: files are written without
// a name in their folder and given their name once complete and their CRC
// checked. The order is the zip core's (ExtractionSequence): links after all
// files, so no file is ever written through a link the archive itself
// creates; folder times and modes last. Entry data is read from the archive
// file by the zip core's EntryData, one reader per thread.
//
// Large extractions run on two threads, which take the files one at a time
// in archive order; every file is still written by one thread from start to
// end, the files before the first failing entry are all written, and that
// entry's failure is the one reported, so the result is the same as with
// one. Encrypted entries are decrypted with the passwords `passwords` gives
// (without it they are refused); a batch holding one is written on the calling
// thread alone, since that is where the password may be asked for.
class ProgressChannel;

class Extractor
{
public:
    // `progress` hears of every file written and may stop the writing after
    // any file (run() then throws StopRequested).
    Extractor(const OpenArchive& archive, const QString& targetFolder, ProgressChannel& progress,
              zipcore::PasswordSource* passwords = nullptr);
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    void run(const std::vector<std::uint64_t>& selection);

private:
    // One chosen entry: where it stands in the archive, the time it gets
    // on disk, and what the safety rules and the writing see of it.
    struct Job
    {
        std::uint64_t index = 0;
        const zipcore::Entry* entry = nullptr;
        std::int64_t mtime = 0; // seconds since the epoch
        zipcore::PlannedEntry plan;
    };

    struct Reader;
    class Sequence;
    class FileWriting;

    std::vector<Job> prepareAll(const std::vector<std::uint64_t>& selection) const;
    Job prepare(std::uint64_t index, std::unique_ptr<Reader>& reader) const;
    void checkLocalHeader(const zipcore::Entry& entry) const;
    std::string readLinkTarget(const Job& job, std::unique_ptr<Reader>& reader) const;
    void writeFiles(const zipcore::PosixTargetFolder& target, const std::vector<const Job*>& files) const;
    static bool namesDiffer(const std::vector<const Job*>& files);

    const OpenArchive& m_archive;
    QString m_target;
    EntryTimes m_times;
    ProgressChannel& m_progress;
    // The action's password, when encrypted entries may be decrypted.
    std::unique_ptr<zipcore::ActionPassword> m_password;
};

#endif // PLOVERN_EXTRACTOR_H
