#include "EntryData.h"

#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace zipcore {

namespace {

constexpr std::size_t BufferSize = 1 << 16;
constexpr std::uint64_t MaxLinkTarget = 4096;

[[noreturn]] void corrupt(const Entry& entry, const std::string& cause)
{
    throw ZipError(ZipErrc::CorruptEntry, entry.name, cause);
}

// Ends the inflate stream however reading ends.
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

EntryData::EntryData(ByteSource& source, const Layout& layout)
    : m_source(source)
    , m_layout(layout)
    , m_input(BufferSize)
    , m_output(BufferSize)
{}

void EntryData::checkReadable(const Entry& entry)
{
    if (entry.encrypted())
        throw ZipError(ZipErrc::Encrypted, entry.name, "it is encrypted");
    if (entry.method != MethodStored && entry.method != MethodDeflated)
        throw ZipError(ZipErrc::UnsupportedMethod, entry.name,
                       "it uses compression method " + std::to_string(entry.method)
                           + " (only stored and deflated entries can be read)");
}

std::uint64_t EntryData::dataStart(const Entry& entry)
{
    unsigned char header[LocalHeader::FixedSize];
    const std::uint64_t limit = m_layout.cdStart;
    if (!fits(entry.localOffset, sizeof header, limit - std::min(limit, m_layout.shift))
        || !m_source.readAt(m_layout.shift + entry.localOffset, header, sizeof header))
        corrupt(entry, "its local header is missing or damaged");
    const Parsed<std::size_t> length = localHeaderLength(header, sizeof header);
    if (!length.ok())
        corrupt(entry, length.error);
    const std::uint64_t start = m_layout.shift + entry.localOffset + length.record;
    // An entry's data ends before the central directory; a size saying
    // otherwise would have us read the directory itself as data.
    if (!fits(start, entry.compressedSize, limit))
        corrupt(entry, "its data runs past the end of the zip data");
    return start;
}

void EntryData::read(const Entry& entry, const Sink& sink)
{
    checkReadable(entry);
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t total = 0;
    const Sink checked = [&](const char* data, std::size_t size) {
        // Never more than stated: a small entry must not fill the disk.
        if (size > entry.size - total)
            corrupt(entry, "it holds more data than its stated " + std::to_string(entry.size) + " bytes");
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
        total += size;
        sink(data, size);
    };
    if (entry.method == MethodStored)
        readStored(entry, dataStart(entry), checked);
    else
        readDeflated(entry, dataStart(entry), checked);
    if (total != entry.size)
        corrupt(entry,
                "it holds " + std::to_string(total) + " bytes instead of the stated " + std::to_string(entry.size));
    if (crc != entry.crc)
        corrupt(entry, "its CRC does not match its data");
}

std::string EntryData::linkTarget(const Entry& entry)
{
    if (entry.size == 0 || entry.size > MaxLinkTarget)
        corrupt(entry, "bad link target");
    std::string target;
    read(entry, [&target](const char* data, std::size_t size) { target.append(data, size); });
    if (target.find('\0') != std::string::npos)
        corrupt(entry, "bad link target");
    return target;
}

void EntryData::readInput(const Entry& entry, std::uint64_t position, std::size_t length)
{
    if (!m_source.readAt(position, m_input.data(), length)) {
        const int error = m_source.lastError();
        if (error == 0)
            corrupt(entry, "its data ends early");
        throw ZipError(ZipErrc::ReadFailed, entry.name, std::strerror(error), error);
    }
}

void EntryData::readStored(const Entry& entry, std::uint64_t position, const Sink& sink)
{
    if (entry.compressedSize != entry.size)
        corrupt(entry, "its stored size does not match its size");
    std::uint64_t remaining = entry.compressedSize;
    while (remaining > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, m_input.size()));
        readInput(entry, position, piece);
        sink(reinterpret_cast<const char*>(m_input.data()), piece);
        position += piece;
        remaining -= piece;
    }
}

void EntryData::readDeflated(const Entry& entry, std::uint64_t position, const Sink& sink)
{
    Inflater inflater;
    if (!inflater.ok())
        throw std::bad_alloc();
    z_stream& stream = inflater.stream();
    std::uint64_t remaining = entry.compressedSize;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, m_input.size()));
            readInput(entry, position, piece);
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
            corrupt(entry, "its compressed data ends early");
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            corrupt(entry, "its compressed data is invalid");
    }
}

} // namespace zipcore
