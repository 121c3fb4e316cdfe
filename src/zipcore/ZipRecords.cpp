#include "ZipRecords.h"

#include "ZipDirectory.h"
#include "ZipFormat.h"

#include <algorithm>
#include <cstdint>

namespace zipcore {

namespace {

// Where an end record keeps its comment's length (read while scanning too).
constexpr std::size_t EndCommentLengthAt = 20;

constexpr std::uint16_t Full16 = 0xffff;

// Appends little-endian fields to an encoded record.
class Out
{
public:
    explicit Out(std::size_t reserve) { m_bytes.reserve(reserve); }

    void u16(std::uint16_t v)
    {
        const std::size_t at = grow(2);
        put16(m_bytes.data() + at, v);
    }
    void u32(std::uint32_t v)
    {
        const std::size_t at = grow(4);
        put32(m_bytes.data() + at, v);
    }
    void u64(std::uint64_t v)
    {
        const std::size_t at = grow(8);
        put64(m_bytes.data() + at, v);
    }
    void text(const std::string& s) { m_bytes.insert(m_bytes.end(), s.begin(), s.end()); }
    void text(const std::string& s, std::size_t from, std::size_t count)
    {
        m_bytes.insert(m_bytes.end(), s.begin() + static_cast<std::ptrdiff_t>(from),
                       s.begin() + static_cast<std::ptrdiff_t>(from + count));
    }

    Bytes take() { return std::move(m_bytes); }

private:
    std::size_t grow(std::size_t n)
    {
        const std::size_t at = m_bytes.size();
        m_bytes.resize(at + n);
        return at;
    }

    Bytes m_bytes;
};

std::uint32_t field32(std::uint64_t value, bool inZip64)
{
    return inZip64 || value >= Full32 ? Full32 : static_cast<std::uint32_t>(value);
}

template <typename Record>
Parsed<Record> failure(const char* why)
{
    Parsed<Record> parsed;
    parsed.error = why;
    return parsed;
}

// The extra fields of a header with the ZIP64 field taken out: where it
// stood, and its payload.
struct SplitExtra
{
    std::string others;
    bool found = false;
    std::size_t at = 0;
    std::string payload;
};

SplitExtra splitExtra(const unsigned char* extra, std::size_t length)
{
    SplitExtra split;
    const unsigned char* payload = nullptr;
    std::size_t payloadLength = 0;
    const char* bytes = reinterpret_cast<const char*>(extra);
    if (!findExtra(extra, length, Zip64ExtraId, &payload, &payloadLength)) {
        // A ZIP64 field made later goes after the last whole field, before
        // any damaged bytes, where readers still find it.
        split.others.assign(bytes, length);
        while (length - split.at >= 4 && get16(extra + split.at + 2) <= length - split.at - 4)
            split.at += 4 + get16(extra + split.at + 2);
        return split;
    }
    split.found = true;
    split.at = static_cast<std::size_t>(payload - extra) - 4;
    split.payload.assign(reinterpret_cast<const char*>(payload), payloadLength);
    split.others.assign(bytes, split.at);
    split.others.append(bytes + split.at + 4 + payloadLength, length - split.at - 4 - payloadLength);
    return split;
}

// Reads the values of a ZIP64 payload in their fixed order, each there
// only when its short field is all ones; a value whose bytes are missing
// leaves the short field's value and ends the reading, since nothing after
// it can be placed.
class Zip64Reader
{
public:
    explicit Zip64Reader(const std::string& payload)
        : m_payload(reinterpret_cast<const unsigned char*>(payload.data()))
        , m_length(payload.size())
    {}

    template <typename T>
    bool take(bool full, std::size_t width, T* value)
    {
        if (!full || m_stopped)
            return false;
        if (m_length - m_used < width) {
            m_stopped = true;
            return false;
        }
        *value = static_cast<T>(width == 8 ? get64(m_payload + m_used) : get32(m_payload + m_used));
        m_used += width;
        return true;
    }

    std::size_t used() const { return m_used; }

private:
    const unsigned char* m_payload;
    std::size_t m_length;
    std::size_t m_used = 0;
    bool m_stopped = false;
};

} // namespace

// Local headers ------------------------------------------------------------

std::size_t LocalHeader::length() const
{
    return LocalHeader::FixedSize + name.size() + (zip64 ? 20 : 0) + extra.size();
}

Parsed<std::size_t> localHeaderLength(const unsigned char* p, std::size_t length)
{
    if (length < LocalHeader::FixedSize || get32(p) != LocalHeader::Signature)
        return failure<std::size_t>("its local header is missing or damaged");
    Parsed<std::size_t> parsed;
    parsed.record = LocalHeader::FixedSize + get16(p + 26) + get16(p + 28);
    return parsed;
}

Parsed<LocalHeader> parseLocalHeader(const unsigned char* p, std::size_t length)
{
    const Parsed<std::size_t> whole = localHeaderLength(p, length);
    if (!whole.ok() || whole.record > length)
        return failure<LocalHeader>("its local header is missing or damaged");
    Parsed<LocalHeader> parsed;
    LocalHeader& h = parsed.record;
    h.versionNeeded = get16(p + 4);
    h.flags = get16(p + 6);
    h.method = get16(p + 8);
    h.dosTime = get16(p + 10);
    h.dosDate = get16(p + 12);
    h.crc = get32(p + 14);
    h.compressedSize = get32(p + 18);
    h.size = get32(p + 22);
    const std::size_t nameLength = get16(p + 26);
    h.name.assign(reinterpret_cast<const char*>(p + LocalHeader::FixedSize), nameLength);
    const SplitExtra extra = splitExtra(p + LocalHeader::FixedSize + nameLength, get16(p + 28));
    h.extra = extra.others;
    h.zip64 = extra.found;
    Zip64Reader zip64(extra.payload);
    zip64.take(h.size == Full32, 8, &h.size);
    zip64.take(h.compressedSize == Full32, 8, &h.compressedSize);
    return parsed;
}

Bytes encode(const LocalHeader& h)
{
    const std::size_t extraLength = (h.zip64 ? 20 : 0) + h.extra.size();
    if (h.name.size() > Full16 || extraLength > Full16)
        return {};
    Out out(h.length());
    out.u32(LocalHeader::Signature);
    out.u16(h.versionNeeded);
    out.u16(h.flags);
    out.u16(h.method);
    out.u16(h.dosTime);
    out.u16(h.dosDate);
    out.u32(h.crc);
    out.u32(field32(h.compressedSize, h.zip64));
    out.u32(field32(h.size, h.zip64));
    out.u16(static_cast<std::uint16_t>(h.name.size()));
    out.u16(static_cast<std::uint16_t>(extraLength));
    out.text(h.name);
    if (h.zip64) {
        out.u16(Zip64ExtraId);
        out.u16(16);
        out.u64(h.size);
        out.u64(h.compressedSize);
    }
    out.text(h.extra);
    return out.take();
}

// Central headers ----------------------------------------------------------

Zip64Fields CentralHeader::zip64Fields() const
{
    Zip64Fields f;
    f.size = keptInZip64.size || size >= Full32;
    f.compressedSize = keptInZip64.compressedSize || compressedSize >= Full32;
    f.localOffset = keptInZip64.localOffset || localOffset >= Full32;
    f.diskStart = keptInZip64.diskStart || diskStart >= Full16;
    return f;
}

namespace {

std::size_t zip64PayloadLength(const CentralHeader& h)
{
    const Zip64Fields f = h.zip64Fields();
    return 8 * (f.size + f.compressedSize + f.localOffset) + 4 * f.diskStart + h.zip64Rest.size();
}

bool writesZip64Field(const CentralHeader& h)
{
    const Zip64Fields f = h.zip64Fields();
    return h.keepZip64Field || !h.zip64Rest.empty() || f.size || f.compressedSize || f.localOffset || f.diskStart;
}

} // namespace

std::size_t CentralHeader::length() const
{
    const std::size_t zip64 = writesZip64Field(*this) ? 4 + zip64PayloadLength(*this) : 0;
    if (name.size() > Full16 || comment.size() > Full16 || zip64PayloadLength(*this) > Full16
        || extra.size() + zip64 > Full16)
        return 0;
    return FixedSize + name.size() + extra.size() + zip64 + comment.size();
}

Parsed<std::size_t> centralHeaderLength(const unsigned char* p, std::size_t length)
{
    if (length < CentralHeader::FixedSize || get32(p) != CentralHeader::Signature)
        return failure<std::size_t>("the central directory is damaged");
    Parsed<std::size_t> parsed;
    parsed.record = CentralHeader::FixedSize + std::size_t(get16(p + 28)) + get16(p + 30) + get16(p + 32);
    return parsed;
}

Parsed<CentralHeader> parseCentralHeader(const unsigned char* p, std::size_t length)
{
    const Parsed<std::size_t> whole = centralHeaderLength(p, length);
    if (!whole.ok() || whole.record > length)
        return failure<CentralHeader>("the central directory is damaged");
    Parsed<CentralHeader> parsed;
    CentralHeader& h = parsed.record;
    h.madeBy = get16(p + 4);
    h.versionNeeded = get16(p + 6);
    h.flags = get16(p + 8);
    h.method = get16(p + 10);
    h.dosTime = get16(p + 12);
    h.dosDate = get16(p + 14);
    h.crc = get32(p + 16);
    h.compressedSize = get32(p + 20);
    h.size = get32(p + 24);
    const std::size_t nameLength = get16(p + 28);
    const std::size_t extraLength = get16(p + 30);
    const std::size_t commentLength = get16(p + 32);
    h.diskStart = get16(p + 34);
    h.internalAttributes = get16(p + 36);
    h.externalAttributes = get32(p + 38);
    h.localOffset = get32(p + 42);
    const auto* variable = reinterpret_cast<const char*>(p + CentralHeader::FixedSize);
    h.name.assign(variable, nameLength);
    h.comment.assign(variable + nameLength + extraLength, commentLength);
    h.rawLength = whole.record;

    SplitExtra extra = splitExtra(p + CentralHeader::FixedSize + nameLength, extraLength);
    h.extra = std::move(extra.others);
    h.zip64At = extra.at;
    h.keepZip64Field = extra.found;
    Zip64Reader zip64(extra.payload);
    h.keptInZip64.size = zip64.take(h.size == Full32, 8, &h.size);
    h.keptInZip64.compressedSize = zip64.take(h.compressedSize == Full32, 8, &h.compressedSize);
    const bool offsetFull = h.localOffset == Full32;
    h.keptInZip64.localOffset = zip64.take(offsetFull, 8, &h.localOffset);
    h.keptInZip64.diskStart = zip64.take(h.diskStart == Full16, 4, &h.diskStart);
    if (extra.found)
        h.zip64Rest = extra.payload.substr(zip64.used());
    // Without its offset the entry cannot be found at all; sizes of all ones
    // without a ZIP64 value are taken as they stand.
    if (offsetFull && !h.keptInZip64.localOffset)
        return failure<CentralHeader>("an entry's ZIP64 field is damaged");
    return parsed;
}

Bytes encode(const CentralHeader& h)
{
    const std::size_t total = h.length();
    if (total == 0)
        return {};
    const Zip64Fields f = h.zip64Fields();
    const bool zip64 = writesZip64Field(h);
    const std::size_t extraLength = h.extra.size() + (zip64 ? 4 + zip64PayloadLength(h) : 0);
    const std::size_t zip64At = std::min(h.zip64At, h.extra.size());
    // A value newly moved into the ZIP64 field needs a reader of version 4.5;
    // one the header already kept there keeps the version it stated.
    const Zip64Fields& kept = h.keptInZip64;
    const bool grown = (f.size && !kept.size) || (f.compressedSize && !kept.compressedSize)
        || (f.localOffset && !kept.localOffset) || (f.diskStart && !kept.diskStart);
    Out out(total);
    out.u32(CentralHeader::Signature);
    out.u16(h.madeBy);
    out.u16(grown ? std::max<std::uint16_t>(h.versionNeeded, 45) : h.versionNeeded);
    out.u16(h.flags);
    out.u16(h.method);
    out.u16(h.dosTime);
    out.u16(h.dosDate);
    out.u32(h.crc);
    out.u32(field32(h.compressedSize, f.compressedSize));
    out.u32(field32(h.size, f.size));
    out.u16(static_cast<std::uint16_t>(h.name.size()));
    out.u16(static_cast<std::uint16_t>(extraLength));
    out.u16(static_cast<std::uint16_t>(h.comment.size()));
    out.u16(f.diskStart ? Full16 : static_cast<std::uint16_t>(h.diskStart));
    out.u16(h.internalAttributes);
    out.u32(h.externalAttributes);
    out.u32(field32(h.localOffset, f.localOffset));
    out.text(h.name);
    out.text(h.extra, 0, zip64At);
    if (zip64) {
        out.u16(Zip64ExtraId);
        out.u16(static_cast<std::uint16_t>(zip64PayloadLength(h)));
        if (f.size)
            out.u64(h.size);
        if (f.compressedSize)
            out.u64(h.compressedSize);
        if (f.localOffset)
            out.u64(h.localOffset);
        if (f.diskStart)
            out.u32(h.diskStart);
        out.text(h.zip64Rest);
    }
    out.text(h.extra, zip64At, h.extra.size() - zip64At);
    out.text(h.comment);
    return out.take();
}

// Data descriptors ---------------------------------------------------------

Parsed<DataDescriptor> parseDataDescriptor(const unsigned char* p, std::size_t length, bool zip64)
{
    Parsed<DataDescriptor> parsed;
    DataDescriptor& d = parsed.record;
    d.zip64 = zip64;
    d.hasSignature = length >= 4 && get32(p) == DataDescriptor::Signature;
    if (length < d.length())
        return failure<DataDescriptor>("an entry's data descriptor runs past the end of the file");
    const unsigned char* at = p + (d.hasSignature ? 4 : 0);
    d.crc = get32(at);
    d.compressedSize = zip64 ? get64(at + 4) : get32(at + 4);
    d.size = zip64 ? get64(at + 12) : get32(at + 8);
    return parsed;
}

Bytes encode(const DataDescriptor& d)
{
    Out out(d.length());
    if (d.hasSignature)
        out.u32(DataDescriptor::Signature);
    out.u32(d.crc);
    if (d.zip64) {
        out.u64(d.compressedSize);
        out.u64(d.size);
    } else {
        out.u32(static_cast<std::uint32_t>(d.compressedSize));
        out.u32(static_cast<std::uint32_t>(d.size));
    }
    return out.take();
}

// End records --------------------------------------------------------------

Parsed<EndRecord> parseEndRecord(const unsigned char* p, std::size_t length)
{
    if (length < EndRecord::FixedSize || get32(p) != EndRecord::Signature)
        return failure<EndRecord>("no end-of-central-directory record");
    const std::size_t commentLength = get16(p + EndCommentLengthAt);
    if (commentLength > length - EndRecord::FixedSize)
        return failure<EndRecord>("the archive comment runs past the end of the file");
    Parsed<EndRecord> parsed;
    EndRecord& e = parsed.record;
    e.disk = get16(p + 4);
    e.directoryDisk = get16(p + 6);
    e.diskEntries = get16(p + 8);
    e.entries = get16(p + 10);
    e.directorySize = get32(p + 12);
    e.directoryOffset = get32(p + 16);
    e.comment.assign(reinterpret_cast<const char*>(p + EndRecord::FixedSize), commentLength);
    return parsed;
}

Bytes encode(const EndRecord& e)
{
    Out out(EndRecord::FixedSize + e.comment.size());
    out.u32(EndRecord::Signature);
    out.u16(e.disk);
    out.u16(e.directoryDisk);
    out.u16(e.diskEntries);
    out.u16(e.entries);
    out.u32(e.directorySize);
    out.u32(e.directoryOffset);
    const std::size_t commentLength = std::min<std::size_t>(e.comment.size(), Full16);
    out.u16(static_cast<std::uint16_t>(commentLength));
    out.text(e.comment, 0, commentLength);
    return out.take();
}

Parsed<std::uint64_t> zip64EndRecordLength(const unsigned char* p, std::size_t length)
{
    if (length < Zip64EndRecord::FixedSize || get32(p) != Zip64EndRecord::Signature)
        return failure<std::uint64_t>("the ZIP64 end record is missing");
    const std::uint64_t remaining = get64(p + 4);
    if (remaining < Zip64EndRecord::FixedSize - 12 || remaining > UINT64_MAX - 12)
        return failure<std::uint64_t>("the ZIP64 end record is damaged");
    Parsed<std::uint64_t> parsed;
    parsed.record = 12 + remaining;
    return parsed;
}

Parsed<Zip64EndRecord> parseZip64EndRecord(const unsigned char* p, std::size_t length)
{
    const Parsed<std::uint64_t> whole = zip64EndRecordLength(p, length);
    if (!whole.ok())
        return failure<Zip64EndRecord>(whole.error);
    const std::uint64_t remaining = whole.record - 12;
    if (whole.record > length)
        return failure<Zip64EndRecord>("the ZIP64 end record is damaged");
    Parsed<Zip64EndRecord> parsed;
    Zip64EndRecord& e = parsed.record;
    e.madeBy = get16(p + 12);
    e.versionNeeded = get16(p + 14);
    e.disk = get32(p + 16);
    e.directoryDisk = get32(p + 20);
    e.diskEntries = get64(p + 24);
    e.entries = get64(p + 32);
    e.directorySize = get64(p + 40);
    e.directoryOffset = get64(p + 48);
    e.extensible.assign(reinterpret_cast<const char*>(p + Zip64EndRecord::FixedSize),
                        static_cast<std::size_t>(remaining - (Zip64EndRecord::FixedSize - 12)));
    return parsed;
}

Bytes encode(const Zip64EndRecord& e)
{
    Out out(Zip64EndRecord::FixedSize + e.extensible.size());
    out.u32(Zip64EndRecord::Signature);
    out.u64(e.remainingSize());
    out.u16(e.madeBy);
    out.u16(e.versionNeeded);
    out.u32(e.disk);
    out.u32(e.directoryDisk);
    out.u64(e.diskEntries);
    out.u64(e.entries);
    out.u64(e.directorySize);
    out.u64(e.directoryOffset);
    out.text(e.extensible);
    return out.take();
}

Parsed<Zip64Locator> parseZip64Locator(const unsigned char* p, std::size_t length)
{
    if (length < Zip64Locator::FixedSize || get32(p) != Zip64Locator::Signature)
        return failure<Zip64Locator>("the ZIP64 end locator is missing");
    Parsed<Zip64Locator> parsed;
    parsed.record.directoryDisk = get32(p + 4);
    parsed.record.zip64EndOffset = get64(p + 8);
    parsed.record.diskCount = get32(p + 16);
    return parsed;
}

Bytes encode(const Zip64Locator& l)
{
    Out out(Zip64Locator::FixedSize);
    out.u32(Zip64Locator::Signature);
    out.u32(l.directoryDisk);
    out.u64(l.zip64EndOffset);
    out.u32(l.diskCount);
    return out.take();
}

bool DirectoryEnd::needsZip64() const
{
    return forceZip64 || entries >= Full16 || size >= Full32 || offset >= Full32;
}

Bytes encode(const DirectoryEnd& end)
{
    Bytes bytes;
    if (end.needsZip64()) {
        Zip64EndRecord record;
        record.madeBy = end.madeBy;
        record.diskEntries = end.entries;
        record.entries = end.entries;
        record.directorySize = end.size;
        record.directoryOffset = end.offset;
        bytes = encode(record);
        Zip64Locator locator;
        locator.zip64EndOffset = end.position;
        const Bytes tail = encode(locator);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
    }
    EndRecord record;
    record.entries = static_cast<std::uint16_t>(std::min<std::uint64_t>(end.entries, Full16));
    record.diskEntries = record.entries;
    record.directorySize = field32(end.size, false);
    record.directoryOffset = field32(end.offset, false);
    record.comment = end.comment;
    const Bytes tail = encode(record);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

bool findExtra(const unsigned char* extra, std::size_t length, std::uint16_t id, const unsigned char** payload,
               std::size_t* payloadLength)
{
    std::size_t i = 0;
    while (length - i >= 4) {
        const std::uint16_t fieldId = get16(extra + i);
        const std::size_t size = get16(extra + i + 2);
        if (size > length - i - 4)
            return false;
        if (fieldId == id) {
            *payload = extra + i + 4;
            *payloadLength = size;
            return true;
        }
        i += 4 + size;
    }
    return false;
}

std::string encodeExtendedTimestamp(std::int64_t mtime)
{
    if (mtime < 0 || mtime > 0xffffffffLL)
        return std::string();
    unsigned char field[9] = {0, 0, 5, 0, 1};
    put16(field, ExtendedTimestampId);
    put32(field + 5, static_cast<std::uint32_t>(mtime));
    return std::string(reinterpret_cast<const char*>(field), sizeof field);
}

bool readExtendedMtime(const unsigned char* extra, std::size_t length, std::int64_t* mtime)
{
    const unsigned char* payload = nullptr;
    std::size_t size = 0;
    if (!findExtra(extra, length, ExtendedTimestampId, &payload, &size) || size < 5 || !(payload[0] & 1))
        return false;
    *mtime = static_cast<std::int64_t>(get32(payload + 1));
    return true;
}

bool endRecordCandidate(const unsigned char* p, std::size_t available, std::size_t* commentLength)
{
    if (available < EndRecord::FixedSize || get32(p) != EndRecord::Signature)
        return false;
    *commentLength = get16(p + EndCommentLengthAt);
    return true;
}

bool holdsRecordSignature(const unsigned char* data, std::size_t length)
{
    for (std::size_t i = 0; i + 4 <= length; ++i) {
        if (data[i] != 'P' || data[i + 1] != 'K')
            continue;
        switch (get32(data + i)) {
            case LocalHeader::Signature:
            case CentralHeader::Signature:
            case DataDescriptor::Signature:
            case EndRecord::Signature:
            case Zip64EndRecord::Signature:
            case Zip64Locator::Signature: return true;
            default: break;
        }
    }
    return false;
}

std::uint32_t unixExternalAttributes(std::uint32_t mode)
{
    const std::uint32_t readOnly = (mode & 0200) ? 0 : 1;
    return ((mode & 0xffff) << 16) | readOnly;
}

} // namespace zipcore
