#ifndef PLOVERN_ARCHIVEREADER_H
#define PLOVERN_ARCHIVEREADER_H

#include "EntryInfo.h"
#include "PosixFile.h"
#include "ZipDirectory.h"
#include "ZipHandle.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

#include <cstdint>
#include <vector>

// Opens an existing archive file for reading. Throws ArchiveNotFound,
// NotAnArchive (not a regular file) or ArchiveUnreadable.
PosixFile::Descriptor openArchive(const QString& path);

// The entries of `directory` a FileSpec names, in archive order: every entry
// for "*.*", else each entry whose listed name is exactly `fileSpec`. Throws
// EmptySpec or EntryNotFound (naming `archivePath`).
std::vector<zip_uint64_t> selectEntries(const zipcore::Directory& directory, const QString& fileSpec,
                                        const QString& archivePath);

// What the engine knows about one entry: the listed facts plus what
// extraction needs.
struct EntryDetails
{
    zip_uint64_t index = 0;
    EntryInfo info;
    std::int64_t mtime = 0;                // seconds since the epoch
    const zipcore::Entry* entry = nullptr; // as the zip core read it
};

// An archive opened for reading. Listing reads the central directory
// through the zip core: libzip converts every entry's DOS time through mktime() when it
// opens an archive, and without TZ set the C library looks at the zone file
// for each call, which made listing large archives several times slower than
// unzip. The libzip handle, over the part that the offsets count from, is
// opened only when an entry of a method that only libzip decodes is read
// (extraction reads stored and deflated entries itself). Entry numbers are
// central-directory positions, the same for both.
class ArchiveReader
{
public:
    // Throws ArchiveNotFound, NotAnArchive or ArchiveUnreadable.
    explicit ArchiveReader(const QString& path);

    const QString& path() const { return m_path; }
    // The archive file the directory was read from, open for reading.
    int fd() const { return m_file.get(); }
    const zipcore::Layout& layout() const { return m_directory.layout; }
    std::uint64_t entryCount() const { return m_directory.entries.size(); }

    // The entry's name as listed: UTF-8 when flagged or when the bytes are
    // valid UTF-8, CP437 otherwise (the rule libzip follows too).
    QString name(std::uint64_t index) const;
    EntryDetails details(std::uint64_t index) const;

    // The entries a FileSpec names (see selectEntries).
    std::vector<zip_uint64_t> select(const QString& fileSpec) const;

    // The libzip handle, opened on first use. Throws like the constructor.
    zip_t* zip() const;

private:
    QDateTime localTime(std::int64_t seconds) const;
    QDateTime dosTime(std::uint16_t time, std::uint16_t date) const;

    QString m_path;
    PosixFile::Descriptor m_file;
    zipcore::Directory m_directory;
    mutable ZipPtr m_zip;
    // The local zone's offset from UTC per quarter hour, once looked up.
    mutable QHash<std::int64_t, int> m_utcOffsets;
    mutable QHash<std::int64_t, int> m_wallOffsets;
};

#endif // PLOVERN_ARCHIVEREADER_H
