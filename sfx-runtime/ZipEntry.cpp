#include "ZipEntry.h"

#include "Cp437.h"
#include "SelfArchive.h"
#include "SfxError.h"

#include <algorithm>
#include <sys/stat.h>
#include <zlib.h>

namespace {

const unsigned kHostUnix = 3;
const unsigned kHostDarwin = 19;
const unsigned kFlagEncrypted = 0x0001;
const unsigned kFlagUtf8 = 0x0800;
const unsigned kMethodStored = 0;
const unsigned kMethodDeflated = 8;
const std::size_t kBufferSize = 1 << 16;
// p7zip marks Unix permissions kept in the high half of the attributes this
// way even when it names another host system.
const std::uint32_t kUnixExtensionBit = 0x8000;
// Names and link targets are paths; longer than PATH_MAX is no real one, and
// refusing them keeps hostile names from costing time.
const std::size_t kMaxPath = 4096;

bool isUtf8(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t follow = 0;
        if (c < 0x80)
            follow = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            follow = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            follow = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            follow = 3;
        else
            return false;
        if (i + follow >= text.size())
            return false;
        for (std::size_t k = 1; k <= follow; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += follow + 1;
    }
    return true;
}

// Names without the UTF-8 flag are CP437 by the zip format, but many zippers
// write UTF-8 without setting the flag; valid UTF-8 is taken as such (libzip
// and Info-ZIP guess the same way).
std::string decodeName(const std::string& raw, unsigned long flags)
{
    if ((flags & kFlagUtf8) || isUtf8(raw))
        return raw;
    std::string out;
    for (const char byte : raw) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x80) {
            out += byte;
            continue;
        }
        const char16_t u = Cp437::high[c - 0x80];
        if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

// Splits the name at "/" and at "\" (Windows zippers write either) and
// records why it cannot be written when it is absolute or climbs with "..".
void splitName(ZipEntry& entry)
{
    const std::string& name = entry.name;
    if (name.size() >= kMaxPath) {
        entry.unsafeReason = "its name is too long to be a path";
        return;
    }
    if (name.find('\0') != std::string::npos) {
        entry.unsafeReason = "its name contains a NUL character";
        return;
    }
    if (!name.empty() && (name[0] == '/' || name[0] == '\\')) {
        entry.unsafeReason = "its name is an absolute path";
        return;
    }
    if (name.size() >= 2 && name[1] == ':'
        && ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
        entry.unsafeReason = "its name starts with a drive letter";
        return;
    }
    std::string part;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '/' && name[i] != '\\') {
            part += name[i];
            continue;
        }
        if (part == "..") {
            entry.unsafeReason = "its name contains a \"..\" part";
            return;
        }
        if (!part.empty() && part != ".")
            entry.parts.push_back(part);
        part.clear();
    }
    if (entry.parts.empty() && entry.kind != ZipEntry::Kind::Folder)
        entry.unsafeReason = "its name is empty";
}

std::time_t dosTime(unsigned date, unsigned time)
{
    std::tm local{};
    local.tm_year = static_cast<int>(date >> 9) + 80;
    local.tm_mon = static_cast<int>((date >> 5) & 15) - 1;
    local.tm_mday = static_cast<int>(date & 31);
    local.tm_hour = static_cast<int>(time >> 11);
    local.tm_min = static_cast<int>((time >> 5) & 63);
    local.tm_sec = static_cast<int>(time & 31) * 2;
    local.tm_isdst = -1; // the DOS field is local time, with whatever daylight saving applied then
    const std::time_t t = std::mktime(&local);
    return t == static_cast<std::time_t>(-1) ? 0 : t;
}

// The modification time from the extended-timestamp field (0x5455) of the
// central header, when there is one: it is UTC and exact to the second.
bool extendedTime(const std::string& field, std::time_t& modified)
{
    const auto* extra = reinterpret_cast<const unsigned char*>(field.data());
    const std::size_t size = field.size();
    std::size_t i = 0;
    while (i + 4 <= size) {
        const unsigned id = extra[i] | (extra[i + 1] << 8);
        const std::size_t length = extra[i + 2] | (extra[i + 3] << 8);
        if (i + 4 + length > size)
            return false;
        if (id == 0x5455 && length >= 5 && (extra[i + 4] & 1)) {
            const std::uint32_t raw = static_cast<std::uint32_t>(extra[i + 5])
                | (static_cast<std::uint32_t>(extra[i + 6]) << 8) | (static_cast<std::uint32_t>(extra[i + 7]) << 16)
                | (static_cast<std::uint32_t>(extra[i + 8]) << 24);
            modified = static_cast<std::time_t>(static_cast<std::int32_t>(raw));
            return true;
        }
        i += 4 + length;
    }
    return false;
}

void classify(ZipEntry& entry, const CentralRecord& record)
{
    const unsigned host = (record.versionMadeBy >> 8) & 0xff;
    const unsigned unixAttributes = (record.externalAttributes >> 16) & 0xffff;
    const bool hasUnix = unixAttributes != 0
        && (host == kHostUnix || host == kHostDarwin || (record.externalAttributes & kUnixExtensionBit));
    const unsigned type = unixAttributes & S_IFMT;
    const bool slash = !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');

    if (hasUnix && type == S_IFLNK)
        entry.kind = ZipEntry::Kind::Link;
    else if (slash || (hasUnix && type == S_IFDIR))
        entry.kind = ZipEntry::Kind::Folder;
    else
        entry.kind = ZipEntry::Kind::File;

    const unsigned permissions = unixAttributes & 0777;
    if (hasUnix && permissions != 0)
        entry.mode = permissions;
    else
        entry.mode = entry.kind == ZipEntry::Kind::Folder ? 0755 : 0644;
}

// Closes the inflate stream however reading ends.
class Inflater
{
public:
    Inflater() { m_ok = inflateInit2(&m_stream, -MAX_WBITS) == Z_OK; }
    ~Inflater() { inflateEnd(&m_stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    bool ok() const { return m_ok; }
    z_stream& stream() { return m_stream; }

private:
    z_stream m_stream{};
    bool m_ok = false;
};

} // namespace

EntryReader::EntryReader(SelfArchive& archive)
    : m_archive(archive)
    , m_input(kBufferSize)
    , m_output(kBufferSize)
{}

std::vector<ZipEntry> EntryReader::readEntries(bool readLinks)
{
    std::vector<ZipEntry> entries;
    entries.reserve(m_archive.records().size());
    for (const CentralRecord& record : m_archive.records()) {
        ZipEntry entry;
        entry.name = decodeName(record.name, record.flags);
        classify(entry, record);
        splitName(entry);
        if (!extendedTime(record.extra, entry.modified))
            entry.modified = dosTime(record.dosDate, record.dosTime);
        entry.size = record.size;
        entry.compressedSize = record.compressedSize;
        entry.crc = record.crc;
        entry.method = record.method;
        entry.encrypted = (record.flags & kFlagEncrypted) != 0;
        entry.localOffset = record.localOffset;
        entries.push_back(std::move(entry));
    }

    if (readLinks) {
        for (ZipEntry& entry : entries) {
            if (entry.kind != ZipEntry::Kind::Link || !entry.unsafeReason.empty() || !unreadableReason(entry).empty())
                continue;
            if (entry.size >= kMaxPath) {
                entry.unsafeReason = "its link target is too long";
                continue;
            }
            readData(entry, [&entry](const char* data, std::size_t size) { entry.linkTarget.append(data, size); });
            if (entry.linkTarget.empty() || entry.linkTarget.find('\0') != std::string::npos)
                entry.unsafeReason = "its link target is empty or contains a NUL character";
        }
    }
    return entries;
}

std::string EntryReader::unreadableReason(const ZipEntry& entry)
{
    if (entry.encrypted)
        return "it is encrypted, and this self-extractor cannot decrypt entries";
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
        return "it uses compression method " + std::to_string(entry.method)
            + ", which this self-extractor cannot read (only stored and deflated entries)";
    return std::string();
}

std::uint64_t EntryReader::dataStart(const ZipEntry& entry)
{
    const std::string damaged = "cannot read entry \"" + entry.name + "\": its local header is missing or damaged";
    unsigned char header[30];
    const std::uint64_t position = m_archive.filePosition(entry.localOffset);
    if (position < entry.localOffset || !m_archive.readAt(position, header, sizeof header) || header[0] != 'P'
        || header[1] != 'K' || header[2] != 3 || header[3] != 4)
        throw SfxError(damaged);
    const std::uint64_t start =
        position + sizeof header + (header[26] | (header[27] << 8)) + (header[28] | (header[29] << 8));
    // An entry's data ends before the central directory; a size saying
    // otherwise would have us read the directory itself as data.
    const std::uint64_t limit = m_archive.centralDirectoryStart();
    if (start > limit || entry.compressedSize > limit - start)
        throw SfxError("cannot read entry \"" + entry.name + "\": its data runs past the end of the zip data");
    return start;
}

void EntryReader::readData(const ZipEntry& entry, const Sink& sink)
{
    const std::string reason = unreadableReason(entry);
    if (!reason.empty())
        throw SfxError("cannot read entry \"" + entry.name + "\": " + reason);

    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t total = 0;
    const Sink checked = [&](const char* data, std::size_t size) {
        // Never more than stated: a small entry must not fill the disk.
        if (size > entry.size - total)
            throw SfxError("entry \"" + entry.name + "\" is damaged: it holds more data than its stated "
                           + std::to_string(entry.size) + " bytes");
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
        total += size;
        sink(data, size);
    };
    if (entry.method == kMethodStored)
        readStored(entry, dataStart(entry), checked);
    else
        readDeflated(entry, dataStart(entry), checked);

    if (total != entry.size)
        throw SfxError("entry \"" + entry.name + "\" is damaged: it holds " + std::to_string(total)
                       + " bytes instead of the stated " + std::to_string(entry.size));
    if (crc != entry.crc)
        throw SfxError("entry \"" + entry.name + "\" is damaged: its CRC does not match its data");
}

void EntryReader::readStored(const ZipEntry& entry, std::uint64_t position, const Sink& sink)
{
    std::uint64_t remaining = entry.compressedSize;
    while (remaining > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, m_input.size()));
        if (!m_archive.readAt(position, m_input.data(), piece))
            throw SfxError("cannot read entry \"" + entry.name + "\": read error in the archive");
        sink(reinterpret_cast<const char*>(m_input.data()), piece);
        position += piece;
        remaining -= piece;
    }
}

void EntryReader::readDeflated(const ZipEntry& entry, std::uint64_t position, const Sink& sink)
{
    const std::string damaged = "entry \"" + entry.name + "\" is damaged: its compressed data is invalid";
    Inflater inflater;
    if (!inflater.ok())
        throw SfxError("cannot read entry \"" + entry.name + "\": out of memory");
    z_stream& stream = inflater.stream();
    std::uint64_t remaining = entry.compressedSize;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, m_input.size()));
            if (!m_archive.readAt(position, m_input.data(), piece))
                throw SfxError("cannot read entry \"" + entry.name + "\": read error in the archive");
            position += piece;
            remaining -= piece;
            stream.next_in = m_input.data();
            stream.avail_in = static_cast<uInt>(piece);
        }
        stream.next_out = m_output.data();
        stream.avail_out = static_cast<uInt>(m_output.size());
        const int rc = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = m_output.size() - stream.avail_out;
        if (produced)
            sink(reinterpret_cast<const char*>(m_output.data()), produced);
        if (rc == Z_STREAM_END)
            return;
        if (rc == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0)
            throw SfxError("entry \"" + entry.name + "\" is damaged: its compressed data ends early");
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            throw SfxError(damaged);
    }
}
