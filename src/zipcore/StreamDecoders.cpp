#include "StreamDecoders.h"

#include "Deflate64.h"
#include "ZipError.h"
#include "ZipFormat.h"

#include <algorithm>
#include <cstring>
#include <new>

#ifdef PLOVERN_WITH_LZMA
#include <lzma.h>
#endif
#ifdef PLOVERN_WITH_ZSTD
#include <zstd.h>
#include <zstd_errors.h>
#endif

namespace zipcore {

namespace {

[[noreturn]] void invalid(const Entry& entry)
{
    throw ZipError(ZipErrc::CorruptEntry, entry.name, "invalid compressed data");
}

[[noreturn]] void endsEarly(const Entry& entry)
{
    throw ZipError(ZipErrc::CorruptEntry, entry.name, "its compressed data ends early");
}

[[noreturn]] [[maybe_unused]] void tooLarge(const Entry& entry, const char* what)
{
    throw ZipError(ZipErrc::UnsupportedMethod, entry.name,
                   std::string("its ") + what + " is larger than " + maxDictionaryText()
                       + ", the most this program decodes");
}

#ifdef PLOVERN_WITH_LZMA
// Ended however decoding ends.
struct LzmaStream
{
    lzma_stream s = LZMA_STREAM_INIT;
    LzmaStream() = default;
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;
    ~LzmaStream() { lzma_end(&s); }
};

void startFailed(const Entry& entry, lzma_ret rc)
{
    if (rc == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (rc != LZMA_OK)
        invalid(entry);
}

// Runs an LZMA or xz decoder over the rest of the data; `stream` may hold
// input already.
void runLzma(const Entry& entry, lzma_stream& stream, const DataInput& next, unsigned char* output, std::size_t room,
             const DataOutput& deliver)
{
    bool more = true;
    int idle = 0;
    for (;;) {
        if (stream.avail_in == 0 && more) {
            const DataSpan piece = next();
            more = piece.size > 0;
            stream.next_in = piece.data;
            stream.avail_in = piece.size;
        }
        stream.next_out = output;
        stream.avail_out = room;
        const lzma_ret rc = lzma_code(&stream, more ? LZMA_RUN : LZMA_FINISH);
        const std::size_t produced = room - stream.avail_out;
        if (produced > 0)
            deliver(output, produced);
        switch (rc) {
            case LZMA_STREAM_END: return;
            case LZMA_OK: break;
            case LZMA_BUF_ERROR:
                if (!more)
                    endsEarly(entry);
                break;
            case LZMA_MEM_ERROR: throw std::bad_alloc();
            case LZMA_MEMLIMIT_ERROR: tooLarge(entry, "dictionary");
            default: invalid(entry);
        }
        // Told to finish with nothing left to read and nothing produced:
        // the stream needs data that is not there.
        idle = (!more && produced == 0) ? idle + 1 : 0;
        if (idle > 1)
            endsEarly(entry);
    }
}
#endif

} // namespace

std::string maxDictionaryText()
{
    return std::to_string(MaxDictionarySize >> 20) + " MiB";
}

bool parseLzmaHeader(const unsigned char* data, LzmaHeader* header)
{
    // Bytes 0 and 1 are the encoder's version, which does not matter.
    const unsigned propertiesSize = data[2] | (data[3] << 8);
    if (propertiesSize != 5)
        return false;
    unsigned properties = data[4];
    if (properties >= 9 * 5 * 5)
        return false;
    header->literalContextBits = properties % 9;
    properties /= 9;
    header->literalPositionBits = properties % 5;
    header->positionBits = properties / 5;
    header->dictionarySize = static_cast<std::uint32_t>(data[5]) | (static_cast<std::uint32_t>(data[6]) << 8)
        | (static_cast<std::uint32_t>(data[7]) << 16) | (static_cast<std::uint32_t>(data[8]) << 24);
    return true;
}

void inflate64Streamed(Deflate64Inflater& inflater, const Entry& entry, const DataInput& next,
                       const DataOutput& deliver)
{
    const Deflate64Inflater::Fill fill = [&next]() {
        const DataSpan piece = next();
        return Deflate64Inflater::Piece{piece.data, piece.size};
    };
    switch (inflater.inflate(fill, deliver)) {
        case Deflate64Inflater::Result::Done: return;
        case Deflate64Inflater::Result::EndsEarly: endsEarly(entry);
        case Deflate64Inflater::Result::Invalid: invalid(entry);
    }
}

#ifdef PLOVERN_WITH_LZMA
void lzmaStreamed(const Entry& entry, const DataInput& next, unsigned char* output, std::size_t room,
                  const DataOutput& deliver)
{
    // The header may come in more than one piece; what follows it in the
    // last one is the start of the LZMA data.
    unsigned char bytes[LzmaHeader::Size];
    std::size_t held = 0;
    DataSpan rest;
    while (held < LzmaHeader::Size) {
        const DataSpan piece = next();
        if (piece.size == 0)
            endsEarly(entry);
        const std::size_t step = std::min(piece.size, LzmaHeader::Size - held);
        std::memcpy(bytes + held, piece.data, step);
        held += step;
        rest = DataSpan{piece.data + step, piece.size - step};
    }
    LzmaHeader header;
    if (!parseLzmaHeader(bytes, &header))
        invalid(entry);
    if (header.dictionarySize > MaxDictionarySize)
        tooLarge(entry, "dictionary");

    lzma_options_lzma options{};
    options.dict_size = header.dictionarySize;
    options.lc = header.literalContextBits;
    options.lp = header.literalPositionBits;
    options.pb = header.positionBits;
    // The stated size ends the data; an end marker may follow it or not,
    // whatever the flag (general-purpose bit 1) says, since writers differ
    // in setting it. A size that is wrong shows in the CRC check after.
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options.ext_size_low = static_cast<std::uint32_t>(entry.size);
    options.ext_size_high = static_cast<std::uint32_t>(entry.size >> 32);
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    LzmaStream stream;
    startFailed(entry, lzma_raw_decoder(&stream.s, filters));
    stream.s.next_in = rest.data;
    stream.s.avail_in = rest.size;
    runLzma(entry, stream.s, next, output, room, deliver);
}

void xzStreamed(const Entry& entry, const DataInput& next, unsigned char* output, std::size_t room,
                const DataOutput& deliver)
{
    // The limit covers the decoder's own tables beside the dictionary.
    LzmaStream stream;
    startFailed(entry, lzma_stream_decoder(&stream.s, MaxDictionarySize + (1 << 20), LZMA_CONCATENATED));
    runLzma(entry, stream.s, next, output, room, deliver);
}
#endif

#ifdef PLOVERN_WITH_ZSTD
void zstdStreamed(const Entry& entry, const DataInput& next, unsigned char* output, std::size_t room,
                  const DataOutput& deliver)
{
    struct Context
    {
        ZSTD_DCtx* c = ZSTD_createDCtx();
        Context() = default;
        Context(const Context&) = delete;
        Context& operator=(const Context&) = delete;
        ~Context() { ZSTD_freeDCtx(c); }
    } context;
    if (!context.c)
        throw std::bad_alloc();
    int windowLog = 10;
    while ((std::uint64_t{1} << windowLog) < MaxDictionarySize)
        ++windowLog;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context.c, ZSTD_d_windowLogMax, windowLog)))
        throw std::bad_alloc();

    ZSTD_inBuffer in{nullptr, 0, 0};
    // Nonzero while a frame is unfinished; a stream holds one or more.
    std::size_t pending = 1;
    bool outputFull = false;
    for (;;) {
        // A full output may leave decoded data inside the decoder: it gets
        // another call before more input, unless the frame has ended (and
        // then holds nothing back: a further call would start a new frame).
        if (in.pos == in.size && (!outputFull || pending == 0)) {
            const DataSpan piece = next();
            if (piece.size == 0)
                break;
            in = ZSTD_inBuffer{piece.data, piece.size, 0};
        }
        ZSTD_outBuffer out{output, room, 0};
        const std::size_t rc = ZSTD_decompressStream(context.c, &out, &in);
        if (ZSTD_isError(rc)) {
            const ZSTD_ErrorCode code = ZSTD_getErrorCode(rc);
            if (code == ZSTD_error_frameParameter_windowTooLarge)
                tooLarge(entry, "window");
            if (code == ZSTD_error_memory_allocation)
                throw std::bad_alloc();
            invalid(entry);
        }
        if (out.pos > 0)
            deliver(output, out.pos);
        outputFull = out.pos == out.size;
        pending = rc;
    }
    if (pending != 0)
        endsEarly(entry);
}
#endif

} // namespace zipcore
