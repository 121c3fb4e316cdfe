#ifndef PLOVERN_EXTRACTOR_H
#define PLOVERN_EXTRACTOR_H

#include "ArchiveReader.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// Writes chosen entries of an archive into a folder. Every entry is checked
// first (names, links, links already on disk, encryption, methods), and only
// when all pass is anything written. Files are written to a temporary name in
// their folder and renamed into place once complete and their CRC checked;
// links are made after all files, so no file is ever written through a link
// the archive itself creates; folder times and modes are set last.
//
// Large extractions run on two threads, each with its own libzip handle and
// its own share of the files; every file is still written by one thread from
// start to end, so the result is the same as with one.
class Extractor
{
public:
    Extractor(const ArchiveReader& reader, const QString& targetFolder);

    void run(const std::vector<zip_uint64_t>& selection);

private:
    enum class Kind { File, Folder, Link };
    struct Job
    {
        EntryDetails details;
        Kind kind = Kind::File;
        QStringList parts;   // path below the target folder
        QString destination; // full path
        unsigned mode = 0;   // permission bits to set
        QByteArray linkTarget;
    };

    Job prepare(zip_uint64_t index) const;
    QByteArray readLinkTarget(const EntryDetails& details) const;
    void createFolders(const std::vector<Job>& jobs);
    void writeFiles(const std::vector<const Job*>& files);
    void writeLink(const Job& job);
    void finishFolders(const std::vector<Job>& jobs);
    void checkParentInside(const QString& destination, const QString& entryName) const;

    const ArchiveReader& m_reader;
    QString m_target;          // as given, without a trailing "/"
    QString m_canonicalTarget; // every link resolved
};

#endif // PLOVERN_EXTRACTOR_H
