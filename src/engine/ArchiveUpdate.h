#ifndef PLOVERN_ARCHIVEUPDATE_H
#define PLOVERN_ARCHIVEUPDATE_H

#include "PosixFile.h"
#include "ZipHandle.h"

#include <QString>

#include <cstdint>
#include <sys/types.h>
#include <vector>

// Files collected for one archive and written into it at once. libzip
// rewrites the whole archive at every close, so adding files one close at a
// time costs a rewrite each; a batch costs one.
//
// An archive with a stub is changed through a standalone copy of its zip part
// (libzip cannot write a stub); at commit the stub and the changed zip part
// replace the archive in one rename. Until commit the archive on disk is
// untouched.
class AddBatch
{
public:
    // Opens `archivePath` for adding, or prepares to create it. Throws
    // ArchiveFolderMissing, NotAnArchive, ArchiveUnreadable or
    // CannotUpdateArchive.
    explicit AddBatch(const QString& archivePath);
    ~AddBatch();
    AddBatch(const AddBatch&) = delete;
    AddBatch& operator=(const AddBatch&) = delete;

    const QString& archivePath() const { return m_archive; }

    // Adds (or replaces) the entry `entryName` with the file `sourcePath`,
    // whose metadata `st` was read when it was found readable.
    void add(const QString& sourcePath, const QString& entryName, const struct stat& st);

    // Writes the archive. Throws CannotUpdateArchive leaving the archive as it
    // was. A source file that can no longer be read is left out; the others
    // are written and then SourceUnreadable names it.
    void commit();

private:
    void drop(std::size_t position);

    QString m_archive;
    bool m_existed = false;
    mode_t m_mode = 0;
    std::int64_t m_stubLength = 0; // 0 when the archive has no stub
    PosixFile::TempFile m_standalone;
    ZipPtr m_zip;
    zip_int64_t m_originalCount = 0;
    struct Added
    {
        QString source;
        zip_uint64_t index;
    };
    std::vector<Added> m_added;
};

namespace ArchiveUpdate {

// Removes the entries FileSpec names from an archive, atomically: on failure
// the archive keeps every byte. Removing every entry leaves an empty archive,
// behind its stub if it had one.
void deleteEntries(const QString& archivePath, const QString& fileSpec);

// The permission bits a new file gets from the process's umask.
mode_t defaultFileMode();

} // namespace ArchiveUpdate

#endif // PLOVERN_ARCHIVEUPDATE_H
