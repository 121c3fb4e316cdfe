#include "ArchiveReader.h"

#include "Cp437.h"
#include "EngineErrors.h"
#include "Failure.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr std::uint16_t extendedTimestampId = 0x5455;
constexpr std::uint16_t utf8Flag = 0x0800;
constexpr std::uint16_t encryptedFlag = 0x0001;
constexpr std::uint16_t aesMethod = 99;
constexpr int unixHost = 3;
constexpr std::int64_t windowSize = 64 * 1024;
constexpr std::int64_t quarterHour = 900;

bool isValidUtf8(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        int follow = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            follow = 1;
            code = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            follow = 2;
            code = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            follow = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= follow)
            return false;
        for (int i = 1; i <= follow; ++i) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3f);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static const std::uint32_t smallest[4] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[follow] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        p += follow + 1;
    }
    return true;
}

QString decodeName(const QByteArray& raw, std::uint16_t flags)
{
    if ((flags & utf8Flag) || isValidUtf8(raw))
        return QString::fromUtf8(raw);
    QString out;
    out.reserve(raw.size());
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x80 ? QChar(byte) : QChar(Cp437::high[byte - 0x80]);
    }
    return out;
}

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
        case aesMethod: return QStringLiteral("AES");
        default: return QStringLiteral("Method %1").arg(method);
    }
}

std::uint16_t get16(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(u[0] | (u[1] << 8));
}

std::uint32_t get32(const char* p)
{
    return static_cast<std::uint32_t>(get16(p)) | (static_cast<std::uint32_t>(get16(p + 2)) << 16);
}

// The modification time of an extended-timestamp field (0x5455) among
// `extra`'s fields: a flags byte, then the times its bits name, modification
// time first. The value is read as unsigned, as 7-Zip does, so that dates
// after 2038 survive.
bool extendedMtime(const char* extra, int length, std::int64_t* mtime)
{
    int i = 0;
    while (i + 4 <= length) {
        const std::uint16_t id = get16(extra + i);
        const int size = get16(extra + i + 2);
        if (i + 4 + size > length)
            return false;
        if (id == extendedTimestampId) {
            if (size < 5 || !(extra[i + 4] & 1))
                return false;
            *mtime = static_cast<std::int64_t>(get32(extra + i + 5));
            return true;
        }
        i += 4 + size;
    }
    return false;
}

} // namespace

ArchiveReader::ArchiveReader(const QString& path)
    : m_path(path)
{
    const QByteArray name = PosixFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw Failure(EngineError::ArchiveNotFound, QStringLiteral("Archive not found: %1").arg(path));
        throw Failure(EngineError::ArchiveUnreadable,
                      QStringLiteral("Cannot read archive %1: %2").arg(path, PosixFile::lastError()));
    }
    if (!S_ISREG(st.st_mode))
        throw Failure(EngineError::NotAnArchive, QStringLiteral("Not a zip archive: %1").arg(path));
    m_fd = PosixFile::openForReading(path);
    if (!m_fd.isOpen())
        throw Failure(EngineError::ArchiveUnreadable,
                      QStringLiteral("Cannot read archive %1: %2").arg(path, PosixFile::lastError()));
    m_layout = ZipLayout::read(m_fd.get(), path, &m_entries);
}

zip_t* ArchiveReader::zip() const
{
    if (!m_zip) {
        m_zip = ZipHandle::openForReading(m_path, m_layout);
        if (zip_get_num_entries(m_zip.get(), 0) != static_cast<zip_int64_t>(m_entries.size()))
            throw Failure(EngineError::ArchiveUnreadable,
                          QStringLiteral("Cannot read archive %1: the entry count does not match the central "
                                         "directory")
                              .arg(m_path));
    }
    return m_zip.get();
}

ZipPtr ArchiveReader::reopen() const
{
    return ZipHandle::openForReading(m_path, m_layout);
}

QString ArchiveReader::name(std::uint64_t index) const
{
    const CentralEntry& entry = m_entries[index];
    return decodeName(entry.name, entry.flags);
}

bool ArchiveReader::localExtendedMtime(const CentralEntry& entry, std::int64_t* mtime) const
{
    const std::int64_t at = m_layout.shift() + static_cast<std::int64_t>(entry.localOffset);
    if (at < 0 || at + 30 > m_layout.fileSize())
        return false;
    const auto fetch = [&](std::int64_t pos, std::int64_t length) -> const char* {
        if (m_windowStart < 0 || pos < m_windowStart || pos + length > m_windowStart + m_window.size()) {
            const std::int64_t size = std::min(std::max(windowSize, length), m_layout.fileSize() - pos);
            if (size < length)
                return nullptr;
            m_window.resize(static_cast<int>(size));
            if (!PosixFile::readAt(m_fd.get(), m_window.data(), static_cast<std::size_t>(size), pos)) {
                m_windowStart = -1;
                return nullptr;
            }
            m_windowStart = pos;
        }
        return m_window.constData() + (pos - m_windowStart);
    };
    const char* header = fetch(at, 30);
    if (!header || get32(header) != 0x04034b50)
        return false;
    const int nameLength = get16(header + 26);
    const int extraLength = get16(header + 28);
    if (extraLength == 0)
        return false;
    const char* extra = fetch(at + 30 + nameLength, extraLength);
    return extra && extendedMtime(extra, extraLength, mtime);
}

EntryDetails ArchiveReader::details(std::uint64_t index) const
{
    const CentralEntry& entry = m_entries[index];
    EntryDetails d;
    d.index = index;
    EntryInfo& info = d.info;
    info.name = decodeName(entry.name, entry.flags);
    if (!entry.comment.isEmpty())
        info.comment = decodeName(entry.comment, entry.flags);
    info.normalSize = static_cast<std::int64_t>(entry.size);
    info.compressedSize = static_cast<std::int64_t>(entry.compressedSize);
    d.method = entry.method;
    info.method = methodName(entry.method);
    info.crc = entry.crc;
    info.encrypted = (entry.flags & encryptedFlag) || entry.method == aesMethod;
    info.isFolder = info.name.endsWith(QLatin1Char('/'));
    if ((entry.madeBy >> 8) == unixHost && (entry.externalAttributes >> 16) != 0) {
        d.hasUnixMode = true;
        d.unixMode = entry.externalAttributes >> 16;
        info.isLink = (d.unixMode & S_IFMT) == S_IFLNK;
    }

    // The extended timestamp is exact and zone-free; the DOS field is local
    // time in two-second steps. The central copy is at hand; the local header
    // is read only when the central one has none.
    if (extendedMtime(entry.extra.constData(), entry.extra.size(), &d.mtime) || localExtendedMtime(entry, &d.mtime)) {
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
    // Out-of-range fields (a zero date, say) are clamped as unzip does.
    const int year = 1980 + (date >> 9);
    const int month = std::clamp((date >> 5) & 0x0f, 1, 12);
    const int day = std::clamp(date & 0x1f, 1, 31);
    const int hour = std::min(time >> 11, 23);
    const int minute = std::min((time >> 5) & 0x3f, 59);
    const int second = std::min((time & 0x1f) * 2, 59);
    QDate calendarDay(year, month, day);
    if (!calendarDay.isValid())
        calendarDay = QDate(year, month, 1).addDays(day - 1);
    const QDateTime wall(calendarDay, QTime(hour, minute, second), Qt::UTC);
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
    if (fileSpec.isEmpty())
        throw Failure(EngineError::EmptySpec, QStringLiteral("No entry was named."));
    std::vector<zip_uint64_t> chosen;
    const bool all = fileSpec == QLatin1String("*.*");
    for (std::uint64_t i = 0; i < m_entries.size(); ++i) {
        if (all || name(i) == fileSpec)
            chosen.push_back(i);
    }
    if (chosen.empty() && !all)
        throw Failure(EngineError::EntryNotFound, QStringLiteral("No entry named %1 in %2").arg(fileSpec, m_path));
    return chosen;
}
