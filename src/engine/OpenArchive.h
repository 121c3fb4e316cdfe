#ifndef PLOVERN_OPENARCHIVE_H
#define PLOVERN_OPENARCHIVE_H

#include "PosixFile.h"
#include "ZipDirectory.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// Opens an existing archive file for reading. Throws ArchiveNotFound,
// NotAnArchive (not a regular file) or ArchiveUnreadable.
PosixFile::Descriptor openArchiveFile(const QString& path);

// Reads the end records and the central directory of an open file through
// the zip core. Throws NotAnArchive when there is no end record and
// ArchiveUnreadable when the records contradict themselves or reading fails;
// `path` names the file. Without `localTimes`, entries take their times from
// the central directory alone (the local headers are not read).
zipcore::Directory readArchiveDirectory(int fd, const QString& path, bool localTimes = true);

// Like readArchiveDirectory, but hands each entry to `visit` as it is read
// and keeps none (zipcore::walkDirectory), so that memory stays the same
// however many entries the archive holds. Throws the same failures, possibly
// after some entries were handed over; what `visit` throws passes through.
void walkArchiveDirectory(int fd, const QString& path, const std::function<void(const zipcore::Entry&)>& visit);

// Checks the local headers of `directory` against its central headers and
// that no two entries share bytes (zipcore::checkStructure): what every
// action that writes from an archive does before writing anything. Throws
// ArchiveUnreadable naming the entry.
void checkArchiveStructure(int fd, const zipcore::Directory& directory, const QString& path);

// readArchiveDirectory without local times, then checkArchiveStructure.
zipcore::Directory readCheckedDirectory(int fd, const QString& path);

// The entries of `directory` a FileSpec names, in archive order: every entry
// for "*.*", else each entry whose listed name is exactly `fileSpec`. Throws
// EmptySpec or EntryNotFound (naming `archivePath`).
std::vector<std::uint64_t> selectEntries(const zipcore::Directory& directory, const QString& fileSpec,
                                         const QString& archivePath);

// An archive opened for reading: its file and its central directory, read
// through the zip core. Entry numbers are central-directory positions.
class OpenArchive
{
public:
    // Throws ArchiveNotFound, NotAnArchive or ArchiveUnreadable.
    explicit OpenArchive(const QString& path);

    const QString& path() const { return m_path; }
    // The archive file the directory was read from, open for reading.
    int fd() const { return m_file.get(); }
    const zipcore::Layout& layout() const { return m_directory.layout; }
    const std::vector<zipcore::Entry>& entries() const { return m_directory.entries; }

    // See checkArchiveStructure; listing does without it.
    void checkStructure() const;

    // The entries a FileSpec names (see selectEntries).
    std::vector<std::uint64_t> select(const QString& fileSpec) const;

private:
    QString m_path;
    PosixFile::Descriptor m_file;
    zipcore::Directory m_directory;
};

#endif // PLOVERN_OPENARCHIVE_H
