#include "EntryReader.h"

#include "EntryData.h"
#include "PosixFile.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

using zipcore::Entry;
using zipcore::ZipErrc;
using zipcore::ZipError;

namespace {

// A local header with the longest name and extra field it can hold.
constexpr std::size_t MaxLocalHeader = zipcore::LocalHeader::FixedSize + 2 * 0xffff;
// Read beyond the header size the central directory suggests, for local
// extra fields longer than the central ones (Info-ZIP's usually are).
constexpr std::size_t HeaderSlack = 256;
// The streamed path's piece of compressed and of inflated data.
constexpr std::size_t Piece = 1 << 20;
static_assert(2 * Piece + MaxLocalHeader <= EntryReader::ArenaSize, "the arena holds both pieces");

[[noreturn]] void corrupt(const Entry& entry, const std::string& cause)
{
    throw ZipError(ZipErrc::CorruptEntry, entry.name, cause);
}

[[noreturn]] void wrongSize(const Entry& entry)
{
    corrupt(entry, "wrong size");
}

void checkCrc(const Entry& entry, std::uint32_t crc)
{
    if (crc != entry.crc)
        corrupt(entry, "CRC check failed");
}

// Reads up to `length` bytes at `position`; fewer only at the end of the
// file. -1 with errno set on failure.
ssize_t readUpTo(int fd, std::uint64_t position, unsigned char* buffer, std::size_t length)
{
    std::size_t got = 0;
    const PosixFile::SysResult read =
        PosixFile::readUpTo(fd, buffer, length, static_cast<std::int64_t>(position), &got);
    if (!read) {
        errno = read.error();
        return -1;
    }
    return static_cast<ssize_t>(got);
}

} // namespace

EntryReader::EntryReader(int fd, const zipcore::Layout& layout)
    : m_fd(fd)
    , m_layout(layout)
{
    // Mapped rather than allocated, so that pages never touched are never
    // resident and the whole arena goes back to the system at the end.
    void* arena = ::mmap(nullptr, ArenaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (arena == MAP_FAILED)
        throw std::bad_alloc();
    m_arena = static_cast<unsigned char*>(arena);
    m_decompressor = libdeflate_alloc_decompressor();
    if (!m_decompressor) {
        ::munmap(m_arena, ArenaSize);
        throw std::bad_alloc();
    }
}

EntryReader::~EntryReader()
{
    if (m_streamReady)
        inflateEnd(&m_stream);
    libdeflate_free_decompressor(m_decompressor);
    ::munmap(m_arena, ArenaSize);
}

bool EntryReader::handles(const Entry& entry)
{
    return entry.method == zipcore::MethodStored || entry.method == zipcore::MethodDeflated;
}

void EntryReader::read(const Entry& entry, const Sink& sink)
{
    zipcore::EntryData::checkReadable(entry);
    const std::uint64_t needed =
        entry.method == zipcore::MethodStored ? entry.compressedSize : entry.compressedSize + entry.size;
    // (Sizes near 2^64 wrap the sum; the second test catches them.)
    if (needed <= ArenaSize - MaxLocalHeader && entry.size <= needed)
        readWhole(entry, sink);
    else
        readStreamed(entry, sink);
}

void EntryReader::readExactly(const Entry& entry, std::uint64_t position, unsigned char* buffer, std::size_t length)
{
    const ssize_t got = readUpTo(m_fd, position, buffer, length);
    if (got < 0)
        corrupt(entry, std::strerror(errno));
    if (static_cast<std::size_t>(got) != length)
        corrupt(entry, "its data ends early");
}

// Reads the local header into `buffer` (`room` bytes) and, in the same read,
// as much of the data after it as the central directory suggests; returns
// where the data starts in the file. The data read lies at buffer + (start -
// header position); *dataHeld says how much of it there is.
std::uint64_t EntryReader::readHead(const Entry& entry, unsigned char* buffer, std::size_t room, std::size_t* dataHeld)
{
    // Nothing of an entry lies in or after the central directory: a header
    // or size saying otherwise would have the directory itself read as data.
    const std::uint64_t limit = m_layout.cdStart;
    if (!zipcore::fits(entry.localOffset, zipcore::LocalHeader::FixedSize, limit - std::min(limit, m_layout.shift)))
        corrupt(entry, "its local header is missing or damaged");
    const std::uint64_t header = m_layout.shift + entry.localOffset;
    const std::uint64_t guess =
        zipcore::LocalHeader::FixedSize + entry.rawName.size() + entry.extra.size() + HeaderSlack;
    const std::uint64_t wanted =
        std::min<std::uint64_t>({guess + std::min<std::uint64_t>(entry.compressedSize, room), room, limit - header});
    const ssize_t got = readUpTo(m_fd, header, buffer, static_cast<std::size_t>(wanted));
    if (got < 0)
        corrupt(entry, std::strerror(errno));
    const zipcore::Parsed<std::size_t> parsed = zipcore::localHeaderLength(buffer, static_cast<std::size_t>(got));
    if (!parsed.ok())
        corrupt(entry, parsed.error);
    const std::size_t headerLength = parsed.record;
    const std::uint64_t start = header + headerLength;
    if (!zipcore::fits(start, entry.compressedSize, limit))
        corrupt(entry, "its data runs past the end of the zip data");
    const std::size_t beyond =
        static_cast<std::size_t>(got) > headerLength ? static_cast<std::size_t>(got) - headerLength : 0;
    *dataHeld = static_cast<std::size_t>(std::min<std::uint64_t>(beyond, entry.compressedSize));
    return start;
}

void EntryReader::readWhole(const Entry& entry, const Sink& sink)
{
    const auto size = static_cast<std::size_t>(entry.size);
    const auto compressedSize = static_cast<std::size_t>(entry.compressedSize);
    const bool stored = entry.method == zipcore::MethodStored;
    // Inflated data first, the header and compressed data after it.
    unsigned char* const input = stored ? m_arena : m_arena + size;
    const std::size_t room = ArenaSize - static_cast<std::size_t>(input - m_arena);
    std::size_t held = 0;
    const std::uint64_t start = readHead(entry, input, room, &held);
    unsigned char* const data = input + (start - m_layout.shift - entry.localOffset);
    if (held < compressedSize)
        readExactly(entry, start + held, data + held, compressedSize - held);

    const unsigned char* result = data;
    if (stored) {
        if (compressedSize != size)
            wrongSize(entry);
    } else {
        // No compressed data at all is taken as no data, as libzip and
        // Python's zipfile take it.
        std::size_t produced = 0;
        const libdeflate_result rc = compressedSize == 0
            ? LIBDEFLATE_SUCCESS
            : libdeflate_deflate_decompress_ex(m_decompressor, data, compressedSize, m_arena, size, nullptr, &produced);
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE || (rc == LIBDEFLATE_SUCCESS && produced != size))
            wrongSize(entry);
        if (rc != LIBDEFLATE_SUCCESS)
            corrupt(entry, "invalid compressed data");
        result = m_arena;
    }
    checkCrc(entry, libdeflate_crc32(0, result, size));
    if (size > 0)
        sink(reinterpret_cast<const char*>(result), size);
}

void EntryReader::readStreamed(const Entry& entry, const Sink& sink)
{
    unsigned char* const input = m_arena;
    unsigned char* const output = m_arena + Piece + MaxLocalHeader;
    std::size_t held = 0;
    std::uint64_t position = readHead(entry, input, Piece + MaxLocalHeader, &held);
    const unsigned char* first = input + (position - m_layout.shift - entry.localOffset);
    position += held;
    std::uint64_t remaining = entry.compressedSize - held;
    // Hands over compressed data: what the first read brought, then pieces.
    const Input next = [&]() -> Span {
        if (held > 0) {
            const Span piece{first, held};
            held = 0;
            return piece;
        }
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, Piece));
        if (piece > 0)
            readExactly(entry, position, input, piece);
        position += piece;
        remaining -= piece;
        return Span{input, piece};
    };

    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    // Never more than stated: a small entry must not fill the disk.
    const Output deliver = [&](const unsigned char* data, std::size_t size) {
        if (size > entry.size - total)
            wrongSize(entry);
        crc = libdeflate_crc32(crc, data, size);
        total += size;
        sink(reinterpret_cast<const char*>(data), size);
    };

    if (entry.method == zipcore::MethodStored) {
        if (entry.compressedSize != entry.size)
            wrongSize(entry);
        for (Span piece = next(); piece.size > 0; piece = next())
            deliver(piece.data, piece.size);
    } else {
        inflateStreamed(entry, next, output, deliver);
    }
    if (total != entry.size)
        wrongSize(entry);
    checkCrc(entry, crc);
}

void EntryReader::inflateStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver)
{
    if (!m_streamReady) {
        if (inflateInit2(&m_stream, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
        m_streamReady = true;
    } else {
        inflateReset(&m_stream);
    }
    m_stream.avail_in = 0;
    bool more = true;
    for (;;) {
        if (m_stream.avail_in == 0 && more) {
            const Span piece = next();
            more = piece.size > 0;
            m_stream.next_in = const_cast<unsigned char*>(piece.data);
            m_stream.avail_in = static_cast<uInt>(piece.size);
        }
        m_stream.next_out = output;
        m_stream.avail_out = static_cast<uInt>(Piece);
        const int rc = inflate(&m_stream, Z_NO_FLUSH);
        const std::size_t produced = Piece - m_stream.avail_out;
        if (produced > 0)
            deliver(output, produced);
        if (rc == Z_STREAM_END)
            break;
        if (rc == Z_BUF_ERROR && m_stream.avail_in == 0 && !more)
            wrongSize(entry); // the compressed data ends before the stream does
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            corrupt(entry, "invalid compressed data");
    }
}
