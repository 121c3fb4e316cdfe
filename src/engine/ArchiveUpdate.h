#ifndef PLOVERN_ARCHIVEUPDATE_H
#define PLOVERN_ARCHIVEUPDATE_H

#include "EngineErrors.h"
#include "PosixFile.h"

#include <QString>

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

class ProgressChannel;
struct UpdatePlan;
namespace zipcore {
struct Directory;
}

// One file to add and the entry it becomes.
struct AddedFile
{
    QString source;      // the file's absolute path
    QString entryName;   // the name it is stored under
    struct stat st = {}; // read when it was found readable

    // The file `fileSpec` names (relative to the current folder), which
    // must be a regular file that can be opened; stored under its full path
    // without the leading "/" when `withPath`, else under its bare name.
    // Throws SourceUnreadable.
    static AddedFile find(const QString& fileSpec, bool withPath);
};

// Files collected for one archive and written into it at once: every add
// rewrites the whole archive, so adding files one rewrite at a time costs a
// rewrite each; a batch costs one.
//
// Collecting only records the files; the archive is read and rewritten at
// commit, under the update lock (see ArchiveUpdate.cpp), so that an update
// made meanwhile by another program or another engine is kept: the files are
// added to the archive as it is then. Until commit the archive on disk is
// untouched.
class AddBatch
{
public:
    // Prepares adding to `archivePath` (created at commit when missing).
    // Throws ArchiveFolderMissing, NotAnArchive, ArchiveUnreadable or
    // CannotUpdateArchive.
    explicit AddBatch(const QString& archivePath);
    ~AddBatch();
    AddBatch(const AddBatch&) = delete;
    AddBatch& operator=(const AddBatch&) = delete;

    const QString& archivePath() const { return m_archive; }

    // Adds (or replaces) the entry `file.entryName` with the file.
    void add(const AddedFile& file);

    // Writes the archive. Throws CannotUpdateArchive or ArchiveChanged leaving
    // the archive as it was. A source file that can no longer be opened is
    // left out; the others are written and then SourceUnreadable names it.
    // When a file fails while it is being written (it cannot be read, the
    // disk is full), the files added before it are written and the failure
    // is thrown naming it; when not even those can be written the archive
    // stays as it was.
    // `progress` follows the rewrite and may stop it (StopRequested), which
    // leaves the archive as it was.
    void commit(ProgressChannel& progress);

private:
    // The changes to the archive as read under the lock (none when new).
    UpdatePlan plan(const zipcore::Directory* old) const;

    QString m_archive;
    std::vector<AddedFile> m_added;
};

namespace ArchiveUpdate {

// Removes the entries FileSpec names from an archive, atomically and under
// the update lock: on failure the archive keeps every byte. Removing every entry leaves an empty archive,
// behind its stub if it had one.
void deleteEntries(const QString& archivePath, const QString& fileSpec, ProgressChannel& progress);

// The permission bits a new file gets from the process's umask.
mode_t defaultFileMode();

// Reads the central directory of the file just written to `fd` (named
// `path`) back, as listing would, and throws what `failure` makes of `path`
// unless it names exactly the entries `intended` (stored names), in order.
void checkReadsBack(int fd, const QString& path, const std::vector<std::string>& intended,
                    EngineFailure::WriteFailure failure);

} // namespace ArchiveUpdate

#endif // PLOVERN_ARCHIVEUPDATE_H
