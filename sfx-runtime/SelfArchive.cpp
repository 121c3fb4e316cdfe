#include "SelfArchive.h"

#include "SfxError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const char kTrailerMagic[8] = {'P', 'L', 'V', 'S', 'F', 'X', '0', '1'};
const std::uint64_t kTrailerSize = 16;
// A settings block holds a folder, a message and a program path; anything
// larger is not one of ours and is not worth holding in memory.
const std::uint64_t kMaxSettings = 16 * 1024 * 1024;
const std::uint64_t kEndRecordSize = 22;
const std::uint64_t kMaxComment = 0xffff;
const std::uint64_t kZip64LocatorSize = 20;
const std::uint64_t kZip64EndSize = 56;
const std::uint64_t kCentralHeaderSize = 46;
const std::uint32_t kZip64Marker = 0xffffffffu;

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t le64(const unsigned char* p)
{
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool hasSignature(const unsigned char* p, unsigned char third, unsigned char fourth)
{
    return p[0] == 'P' && p[1] == 'K' && p[2] == third && p[3] == fourth;
}

// Replaces the values the central header marks with 0xFFFFFFFF by those of
// the ZIP64 extra field, which holds only the marked ones, in this order.
bool applyZip64Extra(CentralRecord& record, bool sizeMarked, bool compressedMarked, bool offsetMarked)
{
    const auto* extra = reinterpret_cast<const unsigned char*>(record.extra.data());
    const std::size_t length = record.extra.size();
    for (std::size_t i = 0; i + 4 <= length;) {
        const std::size_t size = le16(extra + i + 2);
        if (i + 4 + size > length)
            return false;
        if (le16(extra + i) == 0x0001) {
            const unsigned char* field = extra + i + 4;
            const std::size_t needed = 8 * ((sizeMarked ? 1 : 0) + (compressedMarked ? 1 : 0) + (offsetMarked ? 1 : 0));
            if (size < needed)
                return false;
            if (sizeMarked) {
                record.size = le64(field);
                field += 8;
            }
            if (compressedMarked) {
                record.compressedSize = le64(field);
                field += 8;
            }
            if (offsetMarked)
                record.localOffset = le64(field);
            return true;
        }
        i += 4 + size;
    }
    return false;
}

} // namespace

SelfArchive::SelfArchive(const std::string& path, const std::string& shownName)
    : m_shownName(shownName)
{
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file)
        throw SfxError("cannot open " + shownName + " to read the archive it carries: " + std::strerror(errno));
    try {
        if (fseeko(m_file, 0, SEEK_END) != 0 || ftello(m_file) < 0)
            throw SfxError("cannot read " + shownName + ": " + std::strerror(errno));
        m_size = static_cast<std::uint64_t>(ftello(m_file));

        const EndRecord end = findEndRecord();
        const std::string damaged = shownName + ": the attached zip data is damaged";
        if (end.cdSize > end.position)
            throw SfxError(damaged + " (the central directory is larger than the space before its end record)");
        m_cdStart = end.position - end.cdSize;
        if (end.cdOffset > m_cdStart)
            throw SfxError(damaged + " (the central directory offset points past the central directory)");
        m_shift = m_cdStart - end.cdOffset;
        readCentralDirectory(m_cdStart, end.cdSize);

        std::uint64_t lowest = end.cdOffset;
        for (const CentralRecord& record : m_records)
            lowest = std::min(lowest, record.localOffset);
        m_zipStart = m_shift + lowest;
        readSettings();
    } catch (...) {
        std::fclose(m_file);
        throw;
    }
}

SelfArchive::~SelfArchive()
{
    std::fclose(m_file);
}

bool SelfArchive::readAt(std::uint64_t position, void* buffer, std::size_t size)
{
    if (position > m_size || size > m_size - position)
        return false;
    if (fseeko(m_file, static_cast<off_t>(position), SEEK_SET) != 0)
        return false;
    return std::fread(buffer, 1, size, m_file) == size;
}

SelfArchive::EndRecord SelfArchive::findEndRecord()
{
    const std::string noZip = m_shownName + " carries no zip data: this self-extractor is incomplete";
    if (m_size < kEndRecordSize)
        throw SfxError(noZip);

    // The end record is the last thing in the file, followed only by the
    // archive comment of at most 65,535 bytes; like other readers, we take the
    // last signature found.
    const std::uint64_t tailSize = std::min<std::uint64_t>(m_size, kEndRecordSize + kMaxComment);
    const std::uint64_t tailStart = m_size - tailSize;
    std::vector<unsigned char> tail(tailSize);
    if (!readAt(tailStart, tail.data(), tail.size()))
        throw SfxError("cannot read " + m_shownName + ": " + std::strerror(errno));

    std::uint64_t found = tailSize;
    for (std::uint64_t i = tailSize - kEndRecordSize + 1; i-- > 0;) {
        if (hasSignature(&tail[i], 5, 6)) {
            found = i;
            break;
        }
    }
    if (found == tailSize)
        throw SfxError(noZip);

    const unsigned char* record = &tail[found];
    EndRecord end;
    end.position = tailStart + found;
    end.cdSize = le32(record + 12);
    end.cdOffset = le32(record + 16);

    unsigned char locator[kZip64LocatorSize];
    if (end.position < kZip64LocatorSize || !readAt(end.position - kZip64LocatorSize, locator, sizeof locator)
        || !hasSignature(locator, 6, 7))
        return end;

    // ZIP64: the locator points at the ZIP64 end record. When the offsets were
    // not adjusted for a stub the pointer is off by the stub's length, but the
    // record then still stands right before the locator, where it always is.
    const std::uint64_t locatorPosition = end.position - kZip64LocatorSize;
    unsigned char zip64[kZip64EndSize];
    std::uint64_t zip64Position = le64(locator + 8);
    bool ok = zip64Position <= locatorPosition && locatorPosition - zip64Position >= kZip64EndSize
        && readAt(zip64Position, zip64, sizeof zip64) && hasSignature(zip64, 6, 6);
    if (!ok && locatorPosition >= kZip64EndSize) {
        zip64Position = locatorPosition - kZip64EndSize;
        ok = readAt(zip64Position, zip64, sizeof zip64) && hasSignature(zip64, 6, 6);
    }
    if (!ok)
        throw SfxError(m_shownName + ": the attached zip data is damaged (its ZIP64 end record is missing)");
    end.position = zip64Position;
    end.cdSize = le64(zip64 + 40);
    end.cdOffset = le64(zip64 + 48);
    return end;
}

void SelfArchive::readCentralDirectory(std::uint64_t cdStart, std::uint64_t cdSize)
{
    const std::string damaged = m_shownName + ": the attached zip data is damaged (bad central directory)";
    std::uint64_t position = cdStart;
    const std::uint64_t cdEnd = cdStart + cdSize;
    while (position < cdEnd) {
        unsigned char header[kCentralHeaderSize];
        if (cdEnd - position < kCentralHeaderSize || !readAt(position, header, sizeof header)
            || !hasSignature(header, 1, 2))
            throw SfxError(damaged);
        CentralRecord record;
        record.versionMadeBy = le16(header + 4);
        record.flags = le16(header + 8);
        record.method = le16(header + 10);
        record.dosTime = le16(header + 12);
        record.dosDate = le16(header + 14);
        record.crc = le32(header + 16);
        record.compressedSize = le32(header + 20);
        record.size = le32(header + 24);
        record.externalAttributes = le32(header + 38);
        record.localOffset = le32(header + 42);
        const std::uint64_t nameSize = le16(header + 28);
        const std::uint64_t extraSize = le16(header + 30);
        const std::uint64_t commentSize = le16(header + 32);
        if (cdEnd - position - kCentralHeaderSize < nameSize + extraSize + commentSize)
            throw SfxError(damaged);

        record.name.resize(nameSize);
        record.extra.resize(extraSize);
        if ((nameSize && !readAt(position + kCentralHeaderSize, &record.name[0], nameSize))
            || (extraSize && !readAt(position + kCentralHeaderSize + nameSize, &record.extra[0], extraSize)))
            throw SfxError(damaged);

        const bool sizeMarked = record.size == kZip64Marker;
        const bool compressedMarked = record.compressedSize == kZip64Marker;
        const bool offsetMarked = record.localOffset == kZip64Marker;
        if ((sizeMarked || compressedMarked || offsetMarked)
            && !applyZip64Extra(record, sizeMarked, compressedMarked, offsetMarked))
            throw SfxError(damaged + ": entry \"" + record.name + "\" lacks its ZIP64 sizes");
        m_records.push_back(std::move(record));
        position += kCentralHeaderSize + nameSize + extraSize + commentSize;
    }
}

void SelfArchive::readSettings()
{
    unsigned char trailer[kTrailerSize];
    if (m_zipStart < kTrailerSize || !readAt(m_zipStart - kTrailerSize, trailer, sizeof trailer)
        || std::memcmp(trailer, kTrailerMagic, sizeof kTrailerMagic) != 0)
        return; // an archive simply appended to the runtime: the defaults apply

    const std::uint64_t length = le64(trailer + 8);
    const std::uint64_t trailerStart = m_zipStart - kTrailerSize;
    if (length > trailerStart || length > kMaxSettings)
        throw SfxError(m_shownName + ": the self-extractor's settings are damaged (impossible length)");
    m_settings.resize(length);
    if (length && !readAt(trailerStart - length, &m_settings[0], length))
        throw SfxError("cannot read the self-extractor's settings from " + m_shownName + ": " + std::strerror(errno));
    m_hasSettings = true;
}
