#include "EntryData.h"

#include "Deflate64.h"
#include "EntryDecryption.h"
#include "StreamDecoders.h"
#include "ZipError.h"
#include "ZipFormat.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <zlib.h>

#ifdef PLOVERN_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif
#ifdef PLOVERN_WITH_BZIP2
#include <bzlib.h>
#endif
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace zipcore {

namespace {

// A local header with the longest name and extra field it can hold.
constexpr std::size_t MaxLocalHeader = LocalHeader::FixedSize + 2 * 0xffff;
// Read beyond the header size the central directory suggests, for local
// extra fields longer than the central ones (Info-ZIP's usually are).
constexpr std::size_t HeaderSlack = 256;
// The streamed path's piece of compressed and of decoded data.
constexpr std::size_t Piece = 1 << 20;
static_assert(2 * Piece + MaxLocalHeader <= EntryData::ArenaSize, "the arena holds both pieces");
constexpr std::uint64_t MaxLinkTarget = 4096;

[[noreturn]] void corrupt(const Entry& entry, const std::string& cause)
{
    throw ZipError(ZipErrc::CorruptEntry, entry.name, cause);
}

[[noreturn]] void wrongSize(const Entry& entry)
{
    corrupt(entry, "wrong size");
}

[[noreturn]] void endsEarly(const Entry& entry)
{
    corrupt(entry, "its compressed data ends early");
}

void checkCrc(const Entry& entry, std::uint32_t crc, const EntryDecryption* decryption)
{
    // AE-2 entries store no CRC: their authentication code covers the data.
    if (crc != entry.crc && (!decryption || decryption->encryption().checksCrc))
        corrupt(entry, "CRC check failed");
}

// The method of the data itself, inside an AES entry's encryption.
std::uint16_t dataMethod(const Entry& entry)
{
#ifdef PLOVERN_WITH_DECRYPTION
    return entry.method == MethodAes ? encryptionOf(entry).method : entry.method;
#else
    return entry.method;
#endif
}

std::uint32_t crcOf(std::uint32_t crc, const unsigned char* data, std::size_t size)
{
#ifdef PLOVERN_WITH_LIBDEFLATE
    return libdeflate_crc32(crc, data, size);
#else
    return static_cast<std::uint32_t>(crc32_z(crc, data, size));
#endif
}

} // namespace

struct EntryData::Decoders
{
    Decoders() = default;
    Decoders(const Decoders&) = delete;
    Decoders& operator=(const Decoders&) = delete;
    ~Decoders()
    {
        if (inflateReady)
            inflateEnd(&inflater);
#ifdef PLOVERN_WITH_LIBDEFLATE
        libdeflate_free_decompressor(deflate);
#endif
    }

    z_stream inflater{};
    bool inflateReady = false;
    // Made on the first Deflate64 entry: its buffers are larger than zlib's.
    std::unique_ptr<Deflate64Inflater> deflate64;
#ifdef PLOVERN_WITH_LIBDEFLATE
    libdeflate_decompressor* deflate = nullptr;
#endif
};

EntryData::EntryData(ByteSource& source, const Layout& layout)
    : m_source(source)
    , m_layout(layout)
{}

EntryData::~EntryData()
{
    if (!m_arena)
        return;
#ifdef _WIN32
    ::VirtualFree(m_arena, 0, MEM_RELEASE);
#else
    ::munmap(m_arena, ArenaSize);
#endif
}

void EntryData::mapArena()
{
    if (m_arena)
        return;
    auto decoders = std::make_unique<Decoders>();
#ifdef PLOVERN_WITH_LIBDEFLATE
    decoders->deflate = libdeflate_alloc_decompressor();
    if (!decoders->deflate)
        throw std::bad_alloc();
#endif
        // Mapped rather than allocated, so that pages never touched are never
        // resident and the whole arena goes back to the system at the end.
#ifdef _WIN32
    void* arena = ::VirtualAlloc(nullptr, ArenaSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!arena)
        throw std::bad_alloc();
#else
    void* arena = ::mmap(nullptr, ArenaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (arena == MAP_FAILED)
        throw std::bad_alloc();
#endif
    m_arena = static_cast<unsigned char*>(arena);
    m_decoders = std::move(decoders);
}

bool EntryData::decodes(std::uint16_t method)
{
#ifdef PLOVERN_WITH_BZIP2
    if (method == MethodBzip2)
        return true;
#endif
#ifdef PLOVERN_WITH_LZMA
    if (method == MethodLzma || method == MethodXz)
        return true;
#endif
#ifdef PLOVERN_WITH_ZSTD
    if (method == MethodZstd)
        return true;
#endif
    return method == MethodStored || method == MethodDeflated || method == MethodDeflate64;
}

std::string EntryData::methodName(std::uint16_t method)
{
    const char* name = nullptr;
    switch (method) {
        case MethodStored: name = "stored"; break;
        case 1: name = "shrunk"; break;
        case 6: name = "imploded"; break;
        case MethodDeflated: name = "deflated"; break;
        case 9: name = "Deflate64"; break;
        case MethodBzip2: name = "bzip2"; break;
        case 14: name = "LZMA"; break;
        case 93: name = "Zstandard"; break;
        case 95: name = "XZ"; break;
        case 98: name = "PPMd"; break;
        default: break;
    }
    return std::to_string(method) + (name ? std::string(" (") + name + ")" : std::string());
}

void EntryData::checkReadable(const Entry& entry, bool withPassword)
{
#ifndef PLOVERN_WITH_DECRYPTION
    // A build without a crypto library decrypts nothing.
    if (entry.encrypted())
        throw ZipError(ZipErrc::Encrypted, entry.name, EncryptedCause);
    static_cast<void>(withPassword);
    const Encryption encryption;
#else
    const Encryption encryption = encryptionOf(entry);
#endif
    if (!encryption.problem.empty())
        throw ZipError(ZipErrc::Encrypted, entry.name, encryption.problem);
    if (encryption.kind != Encryption::Kind::None && !withPassword)
        throw ZipError(ZipErrc::Encrypted, entry.name, EncryptedCause);
    if (!decodes(dataMethod(entry)))
        throw ZipError(ZipErrc::UnsupportedMethod, entry.name,
                       "it uses compression method " + methodName(dataMethod(entry))
                           + ", which this program cannot decode");
}

void EntryData::read(const Entry& entry, const Sink& sink, const std::string* password)
{
    checkReadable(entry, password != nullptr);
    mapArena();
    EntryDecryption* decryption = nullptr;
#ifdef PLOVERN_WITH_DECRYPTION
    std::unique_ptr<EntryDecryption> held;
    const Encryption encryption = encryptionOf(entry);
    if (encryption.kind != Encryption::Kind::None)
        held = std::make_unique<EntryDecryption>(entry, encryption, *password);
    decryption = held.get();
#else
    static_cast<void>(password);
#endif
    try {
        readDecrypted(entry, sink, decryption);
    } catch (const ZipError& error) {
        // Data that does not decode after a password passed the header's
        // check may as well mean the check passed by chance (one in 256 for
        // the traditional cipher): the caller may ask again.
        if (!decryption || error.code() != ZipErrc::CorruptEntry)
            throw;
        throw ZipError(ZipErrc::PasswordDataMismatch, entry.name, error.cause() + " (wrong password or damaged data)");
    }
}

void EntryData::readDecrypted(const Entry& entry, const Sink& sink, EntryDecryption* decryption)
{
    const std::uint16_t method = dataMethod(entry);
    const bool stored = method == MethodStored;
#ifdef PLOVERN_WITH_LIBDEFLATE
    const bool whole = stored || method == MethodDeflated;
#else
    const bool whole = stored;
#endif
    const std::uint64_t needed = stored ? entry.compressedSize : entry.compressedSize + entry.size;
    // (Sizes near 2^64 wrap the sum; the last test catches them.)
    if (whole && needed <= ArenaSize - MaxLocalHeader && entry.size <= needed)
        readWhole(entry, sink, decryption);
    else
        readStreamed(entry, sink, decryption);
}

std::string EntryData::linkTarget(const Entry& entry, const std::string* password)
{
    if (entry.size == 0 || entry.size > MaxLinkTarget)
        corrupt(entry, "bad link target");
    std::string target;
    read(
        entry, [&target](const char* data, std::size_t size) { target.append(data, size); }, password);
    if (target.find('\0') != std::string::npos)
        corrupt(entry, "bad link target");
    return target;
}

void EntryData::readExactly(const Entry& entry, std::uint64_t position, unsigned char* buffer, std::size_t length)
{
    if (length == 0 || m_source.readAt(position, buffer, length))
        return;
    const int error = m_source.lastError();
    if (error == 0)
        corrupt(entry, "its data ends early");
    throw ZipError(ZipErrc::ReadFailed, entry.name, std::strerror(error), error);
}

// Reads the local header into `buffer` (`room` bytes) and, in the same read,
// as much of the data after it as the central directory suggests; returns
// where the data starts in the file. The data read lies at buffer + (start -
// header position); *dataHeld says how much of it there is.
std::uint64_t EntryData::readHead(const Entry& entry, unsigned char* buffer, std::size_t room, std::size_t* dataHeld)
{
    // Nothing of an entry lies in or after the central directory: a header
    // or size saying otherwise would have the directory itself read as data.
    const std::uint64_t limit = m_layout.cdStart;
    if (!fits(entry.localOffset, LocalHeader::FixedSize, limit - std::min(limit, m_layout.shift)))
        corrupt(entry, "its local header is missing or damaged");
    const std::uint64_t header = m_layout.shift + entry.localOffset;
    const std::uint64_t guess = LocalHeader::FixedSize + entry.rawName.size() + entry.extra.size() + HeaderSlack;
    const auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>({guess + std::min<std::uint64_t>(entry.compressedSize, room), room, limit - header}));
    readExactly(entry, header, buffer, wanted);
    const Parsed<std::size_t> parsed = localHeaderLength(buffer, wanted);
    if (!parsed.ok())
        corrupt(entry, parsed.error);
    const std::size_t headerLength = parsed.record;
    const std::uint64_t start = header + headerLength;
    if (!fits(start, entry.compressedSize, limit))
        corrupt(entry, "its data runs past the end of the zip data");
    const std::size_t beyond = wanted > headerLength ? wanted - headerLength : 0;
    *dataHeld = static_cast<std::size_t>(std::min<std::uint64_t>(beyond, entry.compressedSize));
    return start;
}

void EntryData::readWhole(const Entry& entry, const Sink& sink, EntryDecryption* decryption)
{
    const auto size = static_cast<std::size_t>(entry.size);
    auto compressedSize = static_cast<std::size_t>(entry.compressedSize);
    const bool stored = dataMethod(entry) == MethodStored;
    // Decoded data first, the header and compressed data after it.
    unsigned char* const input = stored ? m_arena : m_arena + size;
    const std::size_t room = ArenaSize - static_cast<std::size_t>(input - m_arena);
    std::size_t held = 0;
    const std::uint64_t start = readHead(entry, input, room, &held);
    unsigned char* data = input + (start - m_layout.shift - entry.localOffset);
    if (held < compressedSize)
        readExactly(entry, start + held, data + held, compressedSize - held);
#ifdef PLOVERN_WITH_DECRYPTION
    if (decryption) {
        // The whole code is checked before anything is decoded.
        const EntryDecryption::Span payload = decryption->feed(data, compressedSize);
        decryption->finish();
        data = payload.data;
        compressedSize = payload.size;
    }
#endif

    const unsigned char* result = data;
    if (stored) {
        if (compressedSize != size)
            wrongSize(entry);
    } else {
#ifdef PLOVERN_WITH_LIBDEFLATE
        // No compressed data at all is taken as no data, as unzip and
        // Python's zipfile take it.
        std::size_t produced = 0;
        const libdeflate_result rc = compressedSize == 0
            ? LIBDEFLATE_SUCCESS
            : libdeflate_deflate_decompress_ex(m_decoders->deflate, data, compressedSize, m_arena, size, nullptr,
                                               &produced);
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE || (rc == LIBDEFLATE_SUCCESS && produced != size))
            wrongSize(entry);
        if (rc != LIBDEFLATE_SUCCESS)
            corrupt(entry, "invalid compressed data");
        result = m_arena;
#endif
    }
    checkCrc(entry, crcOf(0, result, size), decryption);
    if (size > 0)
        sink(reinterpret_cast<const char*>(result), size);
}

void EntryData::readStreamed(const Entry& entry, const Sink& sink, EntryDecryption* decryption)
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
        readExactly(entry, position, input, piece);
        position += piece;
        remaining -= piece;
        return Span{input, piece};
    };

    // Encrypted data is decrypted piece by piece in the arena; the decoder
    // sees only the payload, and the code is checked once all has passed.
    bool finished = false;
    const Input decrypted = [&]() -> Span {
#ifndef PLOVERN_WITH_DECRYPTION
        finished = true;
        return next();
#else
        for (;;) {
            const Span raw = next();
            if (raw.size == 0) {
                decryption->finish();
                finished = true;
                return raw;
            }
            const EntryDecryption::Span payload = decryption->feed(const_cast<unsigned char*>(raw.data), raw.size);
            if (payload.size > 0)
                return Span{payload.data, payload.size};
        }
#endif
    };
    const Input& source = decryption ? decrypted : next;
    std::uint64_t payloadSize = entry.compressedSize;
#ifdef PLOVERN_WITH_DECRYPTION
    if (decryption)
        payloadSize -= decryption->encryption().headerSize() + decryption->encryption().trailerSize();
#endif

    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    // Never more than stated: a small entry must not fill the disk.
    const Output deliver = [&](const unsigned char* data, std::size_t size) {
        if (size > entry.size - total)
            wrongSize(entry);
        crc = crcOf(crc, data, size);
        total += size;
        sink(reinterpret_cast<const char*>(data), size);
    };

    const std::uint16_t method = dataMethod(entry);
    if (method == MethodStored) {
        if (payloadSize != entry.size)
            wrongSize(entry);
        for (Span piece = source(); piece.size > 0; piece = source())
            deliver(piece.data, piece.size);
    } else if (payloadSize == 0) {
        // No compressed data at all is taken as no data, as unzip and
        // Python's zipfile take it.
    } else if (method == MethodDeflated) {
        inflateStreamed(entry, source, output, deliver);
    } else if (method == MethodBzip2) {
        bunzipStreamed(entry, source, output, deliver);
    } else {
        decodeStreamed(entry, source, output, deliver);
    }
    // The code follows whatever the decoder left unread.
    while (decryption && !finished)
        source();
    if (total != entry.size)
        wrongSize(entry);
    checkCrc(entry, crc, decryption);
}

void EntryData::inflateStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver)
{
    z_stream& stream = m_decoders->inflater;
    if (!m_decoders->inflateReady) {
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
        m_decoders->inflateReady = true;
    } else {
        inflateReset(&stream);
    }
    stream.avail_in = 0;
    bool more = true;
    for (;;) {
        if (stream.avail_in == 0 && more) {
            const Span piece = next();
            more = piece.size > 0;
            stream.next_in = const_cast<unsigned char*>(piece.data);
            stream.avail_in = static_cast<uInt>(piece.size);
        }
        stream.next_out = output;
        stream.avail_out = static_cast<uInt>(Piece);
        const int rc = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = Piece - stream.avail_out;
        if (produced > 0)
            deliver(output, produced);
        if (rc == Z_STREAM_END)
            return;
        if (rc == Z_BUF_ERROR && stream.avail_in == 0 && !more)
            endsEarly(entry);
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            corrupt(entry, "invalid compressed data");
    }
}

// The decoders kept in StreamDecoders.cpp; decodes() has refused every
// method not handled here before any data was read.
void EntryData::decodeStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver)
{
    const DataInput input = [&next]() {
        const Span piece = next();
        return DataSpan{piece.data, piece.size};
    };
    switch (dataMethod(entry)) {
        case MethodDeflate64:
            if (!m_decoders->deflate64)
                m_decoders->deflate64 = std::make_unique<Deflate64Inflater>();
            inflate64Streamed(*m_decoders->deflate64, entry, input, deliver);
            return;
#ifdef PLOVERN_WITH_LZMA
        case MethodLzma: lzmaStreamed(entry, input, output, Piece, deliver); return;
        case MethodXz: xzStreamed(entry, input, output, Piece, deliver); return;
#endif
#ifdef PLOVERN_WITH_ZSTD
        case MethodZstd: zstdStreamed(entry, input, output, Piece, deliver); return;
#endif
        default: break;
    }
    static_cast<void>(output);
    throw ZipError(ZipErrc::UnsupportedMethod, entry.name,
                   "it uses compression method " + methodName(dataMethod(entry)));
}

void EntryData::bunzipStreamed(const Entry& entry, const Input& next, unsigned char* output, const Output& deliver)
{
#ifdef PLOVERN_WITH_BZIP2
    // Ended however reading ends; set up per entry, since libbz2 has no
    // reset and its tables depend on the stream's block size.
    struct Stream
    {
        bz_stream s{};
        bool ready = false;
        ~Stream()
        {
            if (ready)
                BZ2_bzDecompressEnd(&s);
        }
    } bz;
    if (BZ2_bzDecompressInit(&bz.s, 0, 0) != BZ_OK)
        throw std::bad_alloc();
    bz.ready = true;
    bool more = true;
    for (;;) {
        if (bz.s.avail_in == 0 && more) {
            const Span piece = next();
            more = piece.size > 0;
            bz.s.next_in = const_cast<char*>(reinterpret_cast<const char*>(piece.data));
            bz.s.avail_in = static_cast<unsigned>(piece.size);
        }
        bz.s.next_out = reinterpret_cast<char*>(output);
        bz.s.avail_out = static_cast<unsigned>(Piece);
        const int rc = BZ2_bzDecompress(&bz.s);
        const std::size_t produced = Piece - bz.s.avail_out;
        if (produced > 0)
            deliver(output, produced);
        if (rc == BZ_STREAM_END)
            return;
        if (rc == BZ_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != BZ_OK)
            corrupt(entry, "invalid compressed data");
        // Out of input with room left for output: the stream needs more.
        if (produced == 0 && bz.s.avail_in == 0 && !more)
            endsEarly(entry);
    }
#else
    // decodes() refuses the method before any data is read.
    static_cast<void>(next);
    static_cast<void>(output);
    static_cast<void>(deliver);
    throw ZipError(ZipErrc::UnsupportedMethod, entry.name, "it uses compression method " + methodName(entry.method));
#endif
}

} // namespace zipcore
