#ifndef PLOVERN_SFX_WIN_WINEXTRACTION_H
#define PLOVERN_SFX_WIN_WINEXTRACTION_H

#include "AttachedZip.h"
#include "SafetyRules.h"

#include <cstdint>
#include <string>
#include <vector>

// Extracts every entry of the attached zip into a folder on Windows, through
// the zip core: every entry is checked first (names, Windows names,
// encryption, methods, links, links and junctions already on disk), then
// folders and files are written beneath the folder
// (zipcore::WindowsTargetFolder) in the zip core's order
// (zipcore::ExtractionSequence), each in its archive turn, each file under a temporary name put in place only once
// complete with its size and CRC checked. Encrypted entries are decrypted
// with the password of the zip's ActionPassword (AttachedZip::setPassword),
// tried again after a wrong one with nothing of the entry left; without one
// they are refused.
//
// Link entries are checked by the same rules as on Linux, so that an archive
// refused there is refused here too, but none is made: creating symbolic
// links on Windows needs a privilege most users lack, and a link that works
// for some users and fails for others would make the same archive extract
// differently. They are reported as skipped instead.
class WinExtraction
{
public:
    // Told what happens, and asked whether to stop; called on the thread
    // that runs the extraction.
    class Observer
    {
    public:
        virtual ~Observer() = default;
        // `what` is "creating", "extracting" or "skipping"; `name` is the
        // path below the folder, with "/" between parts.
        virtual void entry(const char* what, const std::string& name, const std::string& note) = 0;
        // Bytes of file data written so far.
        virtual void progress(std::uint64_t done) = 0;
        virtual bool cancelled() = 0;
    };

    // Thrown by run() when the observer asked to stop.
    struct Cancelled
    {};

    WinExtraction(AttachedZip& zip, const std::string& folder);

    // Checks everything; throws SfxError naming the first entry refused.
    // Nothing is written.
    void check();

    // Creates the folder (with its parents) when missing and writes every
    // entry. Throws SfxError naming the entry or file and the cause, or
    // Cancelled; the files completed before either are kept.
    void run(Observer& observer);

    // The bytes of file data run() writes.
    std::uint64_t totalBytes() const { return m_total; }
    // Paths (relative to the folder, "/" between parts) of the files written.
    const std::vector<std::string>& written() const { return m_written; }
    std::size_t skippedLinks() const { return m_skipped; }

private:
    class Sequence;

    AttachedZip& m_zip;
    std::string m_folder;
    std::vector<zipcore::PlannedEntry> m_plans;
    std::vector<const zipcore::Entry*> m_entries; // beside each plan
    std::vector<std::string> m_written;
    std::uint64_t m_total = 0;
    std::size_t m_skipped = 0;
};

#endif // PLOVERN_SFX_WIN_WINEXTRACTION_H
