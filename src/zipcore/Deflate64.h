#ifndef PLOVERN_ZIPCORE_DEFLATE64_H
#define PLOVERN_ZIPCORE_DEFLATE64_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace zipcore {

// Inflates Deflate64 ("enhanced deflate", zip method 9), which zlib does not
// read: deflate with a 64 KiB window, length code 285 standing for 3 to 65538
// bytes (16 extra bits) and distance codes 30 and 31 reaching back 64 KiB.
// Plain deflate streams are a subset except for code 285, so this is not a
// general inflater.
//
// Compressed data is pulled through `fill` in pieces of any size (an empty
// piece means there is no more), and decoded data is handed to `flush` in
// pieces of at most OutputPiece + 65538 bytes. Memory is fixed: the window,
// one output piece and the decoding tables, allocated once per inflater and
// kept from stream to stream. Invalid data never reads outside the pieces
// given nor writes outside the inflater's own buffers.
class Deflate64Inflater
{
public:
    struct Piece
    {
        const unsigned char* data = nullptr;
        std::size_t size = 0;
    };
    using Fill = std::function<Piece()>;
    using Flush = std::function<void(const unsigned char* data, std::size_t size)>;

    enum class Result {
        Done,      // the final block ended; anything after it was not read
        Invalid,   // the data is not Deflate64
        EndsEarly, // the pieces ran out before the final block ended
    };

    static constexpr std::size_t OutputPiece = 256 << 10;

    Deflate64Inflater();
    ~Deflate64Inflater();
    Deflate64Inflater(const Deflate64Inflater&) = delete;
    Deflate64Inflater& operator=(const Deflate64Inflater&) = delete;

    // Inflates one stream. An exception thrown by `fill` or `flush` passes
    // through; the inflater stays usable for the next stream.
    Result inflate(const Fill& fill, const Flush& flush);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_DEFLATE64_H
