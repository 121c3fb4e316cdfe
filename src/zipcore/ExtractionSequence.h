#ifndef PLOVERN_ZIPCORE_EXTRACTIONSEQUENCE_H
#define PLOVERN_ZIPCORE_EXTRACTIONSEQUENCE_H

#include "SafetyRules.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zipcore {

// The folder an extraction writes into, as the extraction sees it on any
// system: PosixTargetFolder (posix/) and WindowsTargetFolder (win/) each
// keep every write beneath it in their own way.
//
// Paths below the folder are given as parts (entryParts). Failures throw
// ZipError naming the full path: PathThroughLink when a lookup would leave
// the folder, CannotCreateFolder, CannotWrite.
class TargetFolder : public DiskLinks
{
public:
    using Write = std::function<void(const char* data, std::size_t size)>;
    using Produce = std::function<void(const Write&)>;

    // Creates the folder and its missing parents (following links: the user
    // chose this path), then opens it.
    virtual void create() = 0;

    // Makes the folders parts[0, count) below the target where missing.
    virtual void makeFolders(const EntryPath& parts, std::size_t count) = 0;

    // Writes the file at `parts`: `produce` gets a function that writes its
    // data; then the mode (where the system keeps one) and time are set and
    // the file put in place, replacing whatever stands there. On any
    // failure, the produce's own exceptions included, the temporary file is
    // removed and nothing replaced.
    virtual void writeFile(const EntryPath& parts, unsigned mode, std::int64_t mtime, const Produce& produce) = 0;

    // Whether link entries become symbolic links here; where they do not,
    // they are checked all the same and skipped.
    virtual bool makesLinks() const = 0;

    // Makes a symbolic link at `parts` pointing at `target`, replacing what
    // stands there.
    virtual void makeLink(const EntryPath& parts, const std::string& target, std::int64_t mtime) = 0;

    // Sets a folder's mode (where the system keeps one) and time, once
    // everything inside is written.
    virtual void finishFolder(const EntryPath& parts, unsigned mode, std::int64_t mtime) = 0;
};

// The order in which every extraction writes its checked entries, whatever
// writes the files: folders before what goes into them; links after all
// files, so that no file is ever written through a link the archive itself
// makes; folder modes and times last and deepest first, so that writing into
// a folder does not change its time again and a read-only folder does not
// refuse what is meant for it.
//
// A derived class says how the files are written (writeFiles) and may watch
// each entry as its turn comes. ZipError from the target, and whatever the
// derived steps throw, end the sequence where it stands: the entries already
// written stay.
class ExtractionSequence
{
public:
    enum class Files {
        // Each file in its archive turn among the folders, so that a failure
        // leaves every entry before it written.
        InTurn,
        // All files in one call once every folder is made, so that they can
        // be written side by side.
        AfterFolders,
    };

    // `plans` are checked already and outlive the sequence.
    ExtractionSequence(TargetFolder& target, const std::vector<PlannedEntry>& plans, Files files);
    virtual ~ExtractionSequence() = default;
    ExtractionSequence(const ExtractionSequence&) = delete;
    ExtractionSequence& operator=(const ExtractionSequence&) = delete;

    // Creates the target folder and writes every entry into it.
    void run();

protected:
    TargetFolder& target() const { return m_target; }
    const PlannedEntry& plan(std::size_t entry) const { return m_plans[entry]; }

    // The mode and modification time of plans[entry].
    virtual unsigned mode(std::size_t entry) const = 0;
    virtual std::int64_t mtime(std::size_t entry) const = 0;

    // Called in archive order as each entry's turn comes, before its folders
    // are made; for a link the target does not make, in place of anything
    // else.
    virtual void entryReached(std::size_t /*entry*/) {}

    // Writes the files plans[i] for each i in `files`, in that order; their
    // folders are made. With Files::AfterFolders called once, even for no
    // files.
    virtual void writeFiles(const std::vector<std::size_t>& files) = 0;

    // Makes the link plans[entry]; called after all files, in archive order,
    // when the target makes links.
    virtual void makeLink(std::size_t entry);

private:
    void placeEntries();
    void makeLinks();
    void finishFolders();

    TargetFolder& m_target;
    const std::vector<PlannedEntry>& m_plans;
    Files m_files;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_EXTRACTIONSEQUENCE_H
