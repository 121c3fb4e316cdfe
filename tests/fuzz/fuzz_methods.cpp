// The Deflate64 inflater on arbitrary bytes: it must end with Done, Invalid
// or EndsEarly, never crash, read outside the pieces it was given or hand on
// more than a piece at a time. The first byte chooses how the rest is cut
// into pieces, so that every place a piece may end is tried. The LZMA
// header parser sees the same bytes.
#include "Deflate64.h"
#include "StreamDecoders.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Whatever the data says, decoding stops here: a few bits can stand for
// 64 KiB each, and the entry reader stops at the entry's size anyway.
constexpr std::size_t MaxOutput = 4 << 20;

struct Enough
{};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static zipcore::Deflate64Inflater inflater;
    if (size < 1)
        return 0;
    const std::size_t piece = data[0] == 0 ? size : data[0];
    const unsigned char* const stream = data + 1;
    const std::size_t length = size - 1;

    if (length >= zipcore::LzmaHeader::Size) {
        zipcore::LzmaHeader header;
        if (zipcore::parseLzmaHeader(stream, &header)
            && (header.literalContextBits > 8 || header.literalPositionBits > 4 || header.positionBits > 4))
            std::abort();
    }

    std::size_t taken = 0;
    std::size_t produced = 0;
    const zipcore::Deflate64Inflater::Fill fill = [&]() {
        const std::size_t step = length - taken < piece ? length - taken : piece;
        const zipcore::Deflate64Inflater::Piece next{stream + taken, step};
        taken += step;
        return next;
    };
    const zipcore::Deflate64Inflater::Flush flush = [&](const unsigned char* out, std::size_t n) {
        if (n == 0 || n > zipcore::Deflate64Inflater::OutputPiece + 65538)
            std::abort();
        // Every byte handed on must be readable.
        volatile unsigned char sink = out[0] ^ out[n - 1];
        static_cast<void>(sink);
        produced += n;
        if (produced > MaxOutput)
            throw Enough();
    };
    try {
        inflater.inflate(fill, flush);
    } catch (const Enough&) {}
    return 0;
}
