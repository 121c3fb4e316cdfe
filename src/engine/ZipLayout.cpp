#include "ZipLayout.h"

#include "EngineErrors.h"
#include "Failure.h"
#include "PosixFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t localSignature = 0x04034b50;
constexpr std::uint32_t centralSignature = 0x02014b50;
constexpr std::uint32_t endSignature = 0x06054b50;
constexpr std::uint32_t zip64EndSignature = 0x06064b50;
constexpr std::uint32_t zip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t zip64ExtraId = 0x0001;

constexpr std::int64_t endSize = 22;
constexpr std::int64_t locatorSize = 20;
constexpr std::int64_t zip64EndSize = 56;
constexpr std::int64_t centralSize = 46;
constexpr std::int64_t maxEndSearch = endSize + 0xffff;
constexpr std::uint32_t full32 = 0xffffffffu;
constexpr std::size_t bufferSize = 1 << 20;

std::uint16_t get16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t get32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t get64(const unsigned char* p)
{
    return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

void put16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put64(unsigned char* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

[[noreturn]] void damaged(const QString& path, const QString& cause)
{
    throw Failure(EngineError::ArchiveUnreadable, QStringLiteral("Cannot read archive %1: %2").arg(path, cause));
}

[[noreturn]] void readFailed(const QString& path)
{
    damaged(path, errno ? PosixFile::lastError() : QStringLiteral("unexpected end of file"));
}

// Sequential reading through one fixed buffer, for walking the central
// directory without holding it in memory.
class Reader
{
public:
    Reader(int fd, const QString& path, std::int64_t pos, std::int64_t end)
        : m_fd(fd)
        , m_path(path)
        , m_pos(pos)
        , m_end(end)
    {
        m_buffer.resize(
            static_cast<std::size_t>(std::min<std::int64_t>(std::max<std::int64_t>(end - pos, 0), bufferSize)));
    }

    std::int64_t pos() const { return m_pos; }
    bool atEnd() const { return m_pos >= m_end; }

    // Returns `length` bytes from the current position, valid until the next
    // call; `length` must not exceed the buffer's size.
    const unsigned char* take(std::size_t length)
    {
        if (m_pos + static_cast<std::int64_t>(length) > m_end)
            damaged(m_path, QStringLiteral("the central directory is damaged"));
        if (m_pos < m_bufferPos || m_pos + static_cast<std::int64_t>(length) > m_bufferPos + m_bufferFill) {
            const auto fill = static_cast<std::size_t>(std::min<std::int64_t>(m_end - m_pos, m_buffer.size()));
            if (fill < length)
                m_buffer.resize(length);
            if (!PosixFile::readAt(m_fd, m_buffer.data(), std::max(fill, length), m_pos))
                readFailed(m_path);
            m_bufferPos = m_pos;
            m_bufferFill = static_cast<std::int64_t>(std::max(fill, length));
        }
        const unsigned char* p = m_buffer.data() + (m_pos - m_bufferPos);
        m_pos += static_cast<std::int64_t>(length);
        return p;
    }

private:
    int m_fd;
    const QString& m_path;
    std::int64_t m_pos;
    std::int64_t m_end;
    std::vector<unsigned char> m_buffer;
    std::int64_t m_bufferPos = 0;
    std::int64_t m_bufferFill = 0;
};

class Writer
{
public:
    Writer(int fd, const QString& path, std::int32_t error)
        : m_fd(fd)
        , m_path(path)
        , m_error(error)
    {
        m_buffer.reserve(bufferSize);
    }

    void write(const void* data, std::size_t length)
    {
        if (m_buffer.size() + length > bufferSize)
            flush();
        if (length >= bufferSize) {
            if (!PosixFile::writeAll(m_fd, data, length))
                fail();
            return;
        }
        const auto* p = static_cast<const unsigned char*>(data);
        m_buffer.insert(m_buffer.end(), p, p + length);
    }

    void flush()
    {
        if (!m_buffer.empty() && !PosixFile::writeAll(m_fd, m_buffer.data(), m_buffer.size()))
            fail();
        m_buffer.clear();
    }

    [[noreturn]] void fail()
    {
        const QString cause = PosixFile::lastError();
        if (m_error == EngineError::CannotUpdateArchive)
            throw Failure(m_error, QStringLiteral("Cannot save the archive %1: %2").arg(m_path, cause));
        throw Failure(m_error, QStringLiteral("Cannot write %1: %2").arg(m_path, cause));
    }

private:
    int m_fd;
    const QString& m_path;
    std::int32_t m_error;
    std::vector<unsigned char> m_buffer;
};

// The position of the 0x0001 extra field's payload inside `extra`, or -1.
int findZip64Extra(const unsigned char* extra, std::size_t length, std::uint16_t* payloadLength)
{
    std::size_t i = 0;
    while (i + 4 <= length) {
        const std::uint16_t id = get16(extra + i);
        const std::uint16_t size = get16(extra + i + 2);
        if (i + 4 + size > length)
            return -1;
        if (id == zip64ExtraId) {
            *payloadLength = size;
            return static_cast<int>(i + 4);
        }
        i += 4 + size;
    }
    return -1;
}

// Where the local-header offset stands inside a ZIP64 extra field's payload:
// after the uncompressed and compressed sizes, each present only when its
// 32-bit field holds 0xffffffff.
std::size_t zip64OffsetPosition(const unsigned char* header)
{
    std::size_t at = 0;
    if (get32(header + 24) == full32)
        at += 8;
    if (get32(header + 20) == full32)
        at += 8;
    return at;
}

// The local-header offset a central header stores, reading the ZIP64 extra
// field when the 32-bit field says so.
bool storedLocalOffset(const unsigned char* header, const unsigned char* extra, std::size_t extraLength,
                       std::uint64_t* offset)
{
    const std::uint32_t small = get32(header + 42);
    if (small != full32) {
        *offset = small;
        return true;
    }
    std::uint16_t payload = 0;
    const int at = findZip64Extra(extra, extraLength, &payload);
    const std::size_t within = zip64OffsetPosition(header);
    if (at < 0 || within + 8 > payload)
        return false;
    *offset = get64(extra + at + within);
    return true;
}

CentralEntry centralEntry(const unsigned char* header, const unsigned char* variable, std::uint64_t localOffset)
{
    CentralEntry entry;
    const int nameLength = get16(header + 28);
    const int extraLength = get16(header + 30);
    const int commentLength = get16(header + 32);
    const auto* chars = reinterpret_cast<const char*>(variable);
    entry.name = QByteArray(chars, nameLength);
    entry.extra = QByteArray(chars + nameLength, extraLength);
    entry.comment = QByteArray(chars + nameLength + extraLength, commentLength);
    entry.madeBy = get16(header + 4);
    entry.flags = get16(header + 8);
    entry.method = get16(header + 10);
    entry.dosTime = get16(header + 12);
    entry.dosDate = get16(header + 14);
    entry.crc = get32(header + 16);
    entry.compressedSize = get32(header + 20);
    entry.size = get32(header + 24);
    entry.externalAttributes = get32(header + 38);
    entry.localOffset = localOffset;
    // Sizes that do not fit 32 bits stand in the ZIP64 field, in this order.
    if (entry.size == full32 || entry.compressedSize == full32) {
        std::uint16_t payload = 0;
        const int at = findZip64Extra(variable + nameLength, static_cast<std::size_t>(extraLength), &payload);
        std::size_t within = 0;
        if (entry.size == full32 && at >= 0 && within + 8 <= payload) {
            entry.size = get64(variable + nameLength + at + within);
            within += 8;
        }
        if (entry.compressedSize == full32 && at >= 0 && within + 8 <= payload)
            entry.compressedSize = get64(variable + nameLength + at + within);
    }
    return entry;
}

} // namespace

ZipLayout ZipLayout::read(int fd, const QString& path, std::vector<CentralEntry>* entries)
{
    ZipLayout layout;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0)
        readFailed(path);
    layout.m_fileSize = size;

    const std::int64_t tailStart = std::max<std::int64_t>(0, size - maxEndSearch);
    std::vector<unsigned char> tail(static_cast<std::size_t>(size - tailStart));
    if (!tail.empty() && !PosixFile::readAt(fd, tail.data(), tail.size(), tailStart))
        readFailed(path);

    // Candidates are tried from the back; the first whose records agree wins.
    // A candidate that fails only says something when no other one succeeds.
    QString firstProblem;
    for (std::int64_t i = static_cast<std::int64_t>(tail.size()) - endSize; i >= 0; --i) {
        const unsigned char* e = tail.data() + i;
        if (get32(e) != endSignature)
            continue;
        const std::uint16_t commentLength = get16(e + 20);
        if (i + endSize + commentLength > static_cast<std::int64_t>(tail.size()))
            continue;
        try {
            ZipLayout candidate;
            candidate.m_fileSize = size;
            candidate.m_endPos = tailStart + i;
            candidate.m_commentLength = commentLength;
            const std::uint16_t disk = get16(e + 4);
            const std::uint16_t cdDisk = get16(e + 6);
            candidate.m_entries = get16(e + 10);
            candidate.m_cdSize = get32(e + 12);
            candidate.m_cdOffset = get32(e + 16);

            std::int64_t cdEnd = candidate.m_endPos;
            unsigned char locator[locatorSize];
            if (candidate.m_endPos >= locatorSize
                && PosixFile::readAt(fd, locator, sizeof locator, candidate.m_endPos - locatorSize)
                && get32(locator) == zip64LocatorSignature) {
                // The locator's pointer counts from wherever the writer
                // counted; with a stub that was not accounted for it is off,
                // so the record right before the locator is tried as well.
                const std::int64_t locatorPos = candidate.m_endPos - locatorSize;
                const std::int64_t pointed = static_cast<std::int64_t>(get64(locator + 8));
                unsigned char record[zip64EndSize];
                std::int64_t recordPos = -1;
                for (const std::int64_t at : {pointed, locatorPos - zip64EndSize}) {
                    if (at < 0 || at + zip64EndSize > locatorPos)
                        continue;
                    if (PosixFile::readAt(fd, record, sizeof record, at) && get32(record) == zip64EndSignature
                        && at + 12 + static_cast<std::int64_t>(get64(record + 4)) <= locatorPos) {
                        recordPos = at;
                        break;
                    }
                }
                if (recordPos < 0)
                    throw Failure(EngineError::ArchiveUnreadable, QStringLiteral("the ZIP64 end record is missing"));
                candidate.m_zip64EndPos = recordPos;
                candidate.m_entries = get64(record + 32);
                candidate.m_cdSize = get64(record + 40);
                candidate.m_cdOffset = get64(record + 48);
                cdEnd = recordPos;
                if (get32(record + 16) != 0 || get32(record + 20) != 0)
                    throw Failure(EngineError::ArchiveUnreadable,
                                  QStringLiteral("archives split over several files are not supported"));
            } else if (disk != 0 || cdDisk != 0) {
                throw Failure(EngineError::ArchiveUnreadable,
                              QStringLiteral("archives split over several files are not supported"));
            }

            if (candidate.m_cdSize > static_cast<std::uint64_t>(cdEnd))
                throw Failure(EngineError::ArchiveUnreadable,
                              QStringLiteral("the central directory lies outside the file"));
            candidate.m_actualCd = cdEnd - static_cast<std::int64_t>(candidate.m_cdSize);
            if (candidate.m_cdOffset > static_cast<std::uint64_t>(candidate.m_actualCd))
                throw Failure(EngineError::ArchiveUnreadable,
                              QStringLiteral("the central directory lies outside the file"));
            candidate.m_shift = candidate.m_actualCd - static_cast<std::int64_t>(candidate.m_cdOffset);

            // The smallest local-header offset tells where the stub ends.
            std::uint64_t smallest = candidate.m_cdOffset;
            Reader reader(fd, path, candidate.m_actualCd, cdEnd);
            std::uint64_t count = 0;
            while (!reader.atEnd()) {
                const unsigned char* peek = reader.take(4);
                if (get32(peek) != centralSignature) {
                    if (count == 0 && candidate.m_entries > 0)
                        throw Failure(EngineError::ArchiveUnreadable,
                                      QStringLiteral("the central directory is damaged"));
                    break; // a digital signature or similar record ends the directory
                }
                unsigned char header[centralSize];
                std::memcpy(header, peek, 4);
                std::memcpy(header + 4, reader.take(centralSize - 4), centralSize - 4);
                const std::size_t nameLength = get16(header + 28);
                const std::size_t extraLength = get16(header + 30);
                const std::size_t commentLen = get16(header + 32);
                const unsigned char* variable = reader.take(nameLength + extraLength + commentLen);
                const unsigned char* extra = variable + nameLength;
                std::uint64_t offset = 0;
                if (!storedLocalOffset(header, extra, extraLength, &offset))
                    throw Failure(EngineError::ArchiveUnreadable, QStringLiteral("an entry's ZIP64 field is damaged"));
                smallest = std::min(smallest, offset);
                if (entries)
                    entries->push_back(centralEntry(header, variable, offset));
                ++count;
            }
            candidate.m_zipStart = candidate.m_shift + static_cast<std::int64_t>(smallest);
            return candidate;
        } catch (const Failure& failure) {
            if (entries)
                entries->clear();
            if (failure.number() != EngineError::ArchiveUnreadable)
                throw;
            if (firstProblem.isEmpty()) {
                // Reader failures already name the archive; records that
                // contradict each other are named here.
                firstProblem = failure.description().startsWith(QStringLiteral("Cannot read archive"))
                    ? failure.description()
                    : QStringLiteral("Cannot read archive %1: %2").arg(path, failure.description());
            }
        }
    }

    if (!firstProblem.isEmpty())
        throw Failure(EngineError::ArchiveUnreadable, firstProblem);
    // No end record at all. A file that starts like a zip archive lost its
    // end (an interrupted download or copy); anything else is no archive.
    unsigned char head[4];
    if (size >= 4 && PosixFile::readAt(fd, head, sizeof head, 0) && get32(head) == localSignature)
        damaged(path, QStringLiteral("the end of the archive is missing (the file may be truncated)"));
    throw Failure(EngineError::NotAnArchive, QStringLiteral("Not a zip archive: %1").arg(path));
}

void ZipLayout::copyZipPart(const ZipLayout& layout, int in, const QString& inPath, int out, const QString& outPath,
                            std::int64_t outStart, std::int32_t writeError)
{
    Writer writer(out, outPath, writeError);
    // A stored offset o names the byte at shift + o of the input, which lands
    // at outStart + (shift + o - zipStart) of the output.
    const std::int64_t delta = outStart - layout.m_zipStart + layout.m_shift;

    // Local headers and data hold no offsets: copied as they are.
    {
        const int result = PosixFile::copyRange(in, layout.m_zipStart, layout.m_actualCd - layout.m_zipStart, out);
        if (result == 1)
            readFailed(inPath);
        if (result == 2)
            writer.fail();
    }

    const std::int64_t cdEnd = layout.hasZip64() ? layout.m_zip64EndPos : layout.m_endPos;
    std::uint64_t newCdOffset = static_cast<std::uint64_t>(outStart + (layout.m_actualCd - layout.m_zipStart));
    std::uint64_t newCdSize = 0;
    Reader reader(in, inPath, layout.m_actualCd, cdEnd);
    std::vector<unsigned char> entry;
    while (!reader.atEnd()) {
        const unsigned char* peek = reader.take(4);
        if (get32(peek) != centralSignature) {
            // Whatever follows the last central header (a digital signature)
            // is part of the directory and carries no offsets.
            writer.write(peek, 4);
            while (!reader.atEnd()) {
                const std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(cdEnd - reader.pos(), 65536));
                writer.write(reader.take(chunk), chunk);
                newCdSize += chunk;
            }
            newCdSize += 4;
            break;
        }
        unsigned char header[centralSize];
        std::memcpy(header, peek, 4);
        std::memcpy(header + 4, reader.take(centralSize - 4), centralSize - 4);
        const std::size_t nameLength = get16(header + 28);
        const std::size_t extraLength = get16(header + 30);
        const std::size_t commentLength = get16(header + 32);
        entry.assign(header, header + centralSize);
        const unsigned char* variable = reader.take(nameLength + extraLength + commentLength);
        entry.insert(entry.end(), variable, variable + nameLength + extraLength + commentLength);

        unsigned char* h = entry.data();
        unsigned char* extra = h + centralSize + nameLength;
        std::uint64_t offset = 0;
        if (!storedLocalOffset(h, extra, extraLength, &offset))
            damaged(inPath, QStringLiteral("an entry's ZIP64 field is damaged"));
        const std::uint64_t moved = offset + static_cast<std::uint64_t>(delta);
        if (get32(h + 42) == full32) {
            std::uint16_t payload = 0;
            const int at = findZip64Extra(extra, extraLength, &payload);
            put64(extra + at + zip64OffsetPosition(h), moved);
        } else if (moved < full32) {
            put32(h + 42, static_cast<std::uint32_t>(moved));
        } else {
            // The offset outgrew 32 bits: it moves into the ZIP64 field, which
            // is made when the entry had none.
            std::uint16_t payload = 0;
            const int at = findZip64Extra(extra, extraLength, &payload);
            const std::size_t within = zip64OffsetPosition(h);
            unsigned char value[8];
            put64(value, moved);
            std::vector<unsigned char> grown;
            const std::size_t insertAt = centralSize + nameLength + (at >= 0 ? at + within : extraLength);
            if (at >= 0) {
                put16(extra + at - 2, static_cast<std::uint16_t>(payload + 8));
                grown.assign(value, value + 8);
            } else {
                grown = {0x01, 0x00, 0x08, 0x00};
                grown.insert(grown.end(), value, value + 8);
            }
            if (extraLength + grown.size() > 0xffff)
                throw Failure(writeError,
                              QStringLiteral("Cannot write %1: an entry's extra data is too long to hold "
                                             "a 64-bit offset")
                                  .arg(outPath));
            entry.insert(entry.begin() + static_cast<std::ptrdiff_t>(insertAt), grown.begin(), grown.end());
            h = entry.data();
            put16(h + 30, static_cast<std::uint16_t>(extraLength + grown.size()));
            put32(h + 42, full32);
            if (get16(h + 6) < 45)
                put16(h + 6, 45);
        }
        writer.write(entry.data(), entry.size());
        newCdSize += entry.size();
    }

    // An empty directory keeps offset 0, for the reason writeEmptyZip gives.
    if (newCdSize == 0 && !layout.hasZip64())
        newCdOffset = 0;
    const bool needZip64 = layout.hasZip64() || newCdOffset >= full32 || newCdSize >= full32;
    if (layout.hasZip64()) {
        // The ZIP64 end record (with any extensible data) and the locator.
        const std::int64_t length = layout.m_endPos - layout.m_zip64EndPos;
        if (length > (1 << 24))
            damaged(inPath, QStringLiteral("the ZIP64 end record is damaged"));
        std::vector<unsigned char> records(static_cast<std::size_t>(length));
        if (!PosixFile::readAt(in, records.data(), records.size(), layout.m_zip64EndPos))
            readFailed(inPath);
        put64(records.data() + 40, newCdSize);
        put64(records.data() + 48, newCdOffset);
        put64(records.data() + records.size() - locatorSize + 8, newCdOffset + newCdSize);
        writer.write(records.data(), records.size());
    } else if (needZip64) {
        unsigned char records[zip64EndSize + locatorSize] = {};
        put32(records, zip64EndSignature);
        put64(records + 4, zip64EndSize - 12);
        put16(records + 12, 45);
        put16(records + 14, 45);
        put64(records + 24, layout.m_entries);
        put64(records + 32, layout.m_entries);
        put64(records + 40, newCdSize);
        put64(records + 48, newCdOffset);
        put32(records + zip64EndSize, zip64LocatorSignature);
        put64(records + zip64EndSize + 8, newCdOffset + newCdSize);
        put32(records + zip64EndSize + 16, 1);
        writer.write(records, sizeof records);
    }

    std::vector<unsigned char> end(static_cast<std::size_t>(endSize + layout.m_commentLength));
    if (!PosixFile::readAt(in, end.data(), end.size(), layout.m_endPos))
        readFailed(inPath);
    const auto fit = [&](std::size_t at, std::uint64_t value) {
        if (value >= full32 || (needZip64 && get32(end.data() + at) == full32))
            put32(end.data() + at, full32);
        else
            put32(end.data() + at, static_cast<std::uint32_t>(value));
    };
    fit(12, newCdSize);
    fit(16, newCdOffset);
    writer.write(end.data(), end.size());
    writer.flush();
}

void ZipLayout::writeEmptyZip(int out, const QString& outPath, std::int64_t outStart, std::int32_t writeError)
{
    // With no entries there is nothing for an offset to point at, and unzip
    // and 7-Zip reject an empty archive whose directory offset counts the
    // stub: they look for a central header there and find the end record.
    // Offset 0 (counting from the zip part) is what they accept.
    Q_UNUSED(outStart);
    Writer writer(out, outPath, writeError);
    unsigned char end[endSize] = {};
    put32(end, endSignature);
    writer.write(end, sizeof end);
    writer.flush();
}
