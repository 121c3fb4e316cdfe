#include "ArchiveReader.h"

#include "EngineErrors.h"
#include "EntryNames.h"
#include "Failure.h"
#include "ZipFormat.h"
#include "ZipLayout.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr std::int64_t quarterHour = 900;

QString methodName(std::uint16_t method)
{
    switch (method) {
        case 0: return QStringLiteral("Stored");
        case 1: return QStringLiteral("Shrunk");
        case 2:
        case 3:
        case 4:
        case 5: return QStringLiteral("Reduced");
        case 6: return QStringLiteral("Imploded");
        case 8: return QStringLiteral("Deflated");
        case 9: return QStringLiteral("Deflate64");
        case 12: return QStringLiteral("BZip2");
        case 14: return QStringLiteral("LZMA");
        case 93: return QStringLiteral("Zstandard");
        case 95: return QStringLiteral("XZ");
        case 98: return QStringLiteral("PPMd");
        case zipcore::MethodAes: return QStringLiteral("AES");
        default: return QStringLiteral("Method %1").arg(method);
    }
}

} // namespace

PosixFile::Descriptor openArchive(const QString& path)
{
    struct stat st;
    if (::stat(PosixFile::encodeName(path).constData(), &st) != 0) {
        const PosixFile::SysResult failed = PosixFile::SysResult::fromErrno();
        if (failed.error() == ENOENT || failed.error() == ENOTDIR)
            throw EngineFailure::archiveNotFound(path);
        throw EngineFailure::archiveUnreadable(path, failed.cause());
    }
    if (!S_ISREG(st.st_mode))
        throw EngineFailure::notAnArchive(path);
    PosixFile::Descriptor fd = PosixFile::openForReading(path);
    if (!fd.isOpen())
        throw EngineFailure::archiveUnreadable(path, fd.openError().cause());
    return fd;
}

ArchiveReader::ArchiveReader(const QString& path)
    : m_path(path)
    , m_file(openArchive(path))
    , m_directory(ZipLayout::read(m_file.get(), path))
{}

zip_t* ArchiveReader::zip() const
{
    if (!m_zip) {
        m_zip = ZipHandle::openForReading(m_path, m_directory.layout);
        if (zip_get_num_entries(m_zip.get(), 0) != static_cast<zip_int64_t>(m_directory.entries.size()))
            throw EngineFailure::archiveUnreadable(
                m_path, QStringLiteral("the entry count does not match the central directory"));
    }
    return m_zip.get();
}

QString ArchiveReader::name(std::uint64_t index) const
{
    return QString::fromUtf8(m_directory.entries[index].name.c_str());
}

EntryDetails ArchiveReader::details(std::uint64_t index) const
{
    const zipcore::Entry& entry = m_directory.entries[index];
    EntryDetails d;
    d.index = index;
    d.entry = &entry;
    EntryInfo& info = d.info;
    info.name = QString::fromUtf8(entry.name.c_str());
    if (!entry.comment.empty())
        info.comment = QString::fromUtf8(entry.comment.c_str());
    info.normalSize = static_cast<std::int64_t>(entry.size);
    info.compressedSize = static_cast<std::int64_t>(entry.compressedSize);
    info.method = methodName(entry.method);
    info.crc = entry.crc;
    info.encrypted = entry.encrypted();
    info.isFolder = entry.kind == zipcore::EntryKind::Folder;
    info.isLink = entry.kind == zipcore::EntryKind::Link;

    // The extended timestamp is exact and zone-free; the DOS field is local
    // time in two-second steps.
    if (entry.hasExactTime) {
        d.mtime = entry.mtime;
        info.modified = localTime(d.mtime);
    } else {
        info.modified = dosTime(entry.dosTime, entry.dosDate);
        d.mtime = info.modified.toSecsSinceEpoch();
    }
    return d;
}

QDateTime ArchiveReader::localTime(std::int64_t seconds) const
{
    // Converting to local time asks the C library, which rereads the zone
    // file on every call when TZ is not set. Zone offsets change on quarter
    // hours only, so one lookup per quarter hour gives the same result.
    const std::int64_t bucket = seconds >= 0 ? seconds / quarterHour : (seconds - quarterHour + 1) / quarterHour;
    auto it = m_utcOffsets.constFind(bucket);
    if (it == m_utcOffsets.constEnd())
        it = m_utcOffsets.insert(bucket, QDateTime::fromSecsSinceEpoch(bucket * quarterHour).offsetFromUtc());
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::OffsetFromUTC, *it);
}

QDateTime ArchiveReader::dosTime(std::uint16_t time, std::uint16_t date) const
{
    const zipcore::DosDateTime t = zipcore::dosDateTime(date, time);
    const QDateTime wall(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second), Qt::UTC);
    const std::int64_t wallSeconds = wall.toSecsSinceEpoch();
    // The same quarter-hour shortcut, keyed by the wall-clock time.
    const std::int64_t bucket = wallSeconds / quarterHour;
    auto it = m_wallOffsets.constFind(bucket);
    if (it == m_wallOffsets.constEnd()) {
        const QDateTime start = QDateTime::fromSecsSinceEpoch(bucket * quarterHour, Qt::UTC);
        it = m_wallOffsets.insert(bucket, QDateTime(start.date(), start.time(), Qt::LocalTime).offsetFromUtc());
    }
    return QDateTime::fromSecsSinceEpoch(wallSeconds - *it, Qt::OffsetFromUTC, *it);
}

std::vector<zip_uint64_t> ArchiveReader::select(const QString& fileSpec) const
{
    return selectEntries(m_directory, fileSpec, m_path);
}

std::vector<zip_uint64_t> selectEntries(const zipcore::Directory& directory, const QString& fileSpec,
                                        const QString& archivePath)
{
    if (fileSpec.isEmpty())
        throw EngineFailure::emptySpec();
    std::vector<zip_uint64_t> chosen;
    const bool all = fileSpec == QLatin1String("*.*");
    for (std::uint64_t i = 0; i < directory.entries.size(); ++i) {
        if (all || QString::fromUtf8(directory.entries[i].name.c_str()) == fileSpec)
            chosen.push_back(i);
    }
    if (chosen.empty() && !all)
        throw EngineFailure::entryNotFound(fileSpec, archivePath);
    return chosen;
}
