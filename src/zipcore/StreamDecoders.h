#ifndef PLOVERN_ZIPCORE_STREAMDECODERS_H
#define PLOVERN_ZIPCORE_STREAMDECODERS_H

#include "ZipDirectory.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zipcore {

class Deflate64Inflater;

// The entry reader's decoders beyond deflate and bzip2, each taking the
// entry's compressed data piece by piece (an empty piece at the end) and
// handing decoded data on. Each throws ZipError naming the entry:
// CorruptEntry "invalid compressed data" or "its compressed data ends
// early", UnsupportedMethod when the data needs more memory than
// MaxDictionarySize; std::bad_alloc when memory runs out. Deflate64 is built
// everywhere; LZMA and xz with PLOVERN_WITH_LZMA (liblzma), zstd with
// PLOVERN_WITH_ZSTD (libzstd).
struct DataSpan
{
    const unsigned char* data = nullptr;
    std::size_t size = 0;
};
using DataInput = std::function<DataSpan()>;
using DataOutput = std::function<void(const unsigned char* data, std::size_t size)>;

// The largest LZMA or xz dictionary and zstd window decoded: the decoder
// allocates that much, whatever the entry's size. 7-Zip's strongest level
// uses 64 MiB.
constexpr std::uint64_t MaxDictionarySize = 256 << 20;
// "256 MiB", for messages.
std::string maxDictionaryText();

// What an LZMA entry's data starts with: a 2-byte version of the encoder, the
// size of the properties (5) and the properties: lc, lp and pb in one byte
// and the dictionary size.
struct LzmaHeader
{
    static constexpr std::size_t Size = 9;
    unsigned literalContextBits = 0;
    unsigned literalPositionBits = 0;
    unsigned positionBits = 0;
    std::uint32_t dictionarySize = 0;
};
// Parses the header's Size bytes; false when they are not an LZMA header.
bool parseLzmaHeader(const unsigned char* data, LzmaHeader* header);

void inflate64Streamed(Deflate64Inflater& inflater, const Entry& entry, const DataInput& next,
                       const DataOutput& deliver);
#ifdef PLOVERN_WITH_LZMA
void lzmaStreamed(const Entry& entry, const DataInput& next, unsigned char* output, std::size_t room,
                  const DataOutput& deliver);
void xzStreamed(const Entry& entry, const DataInput& next, unsigned char* output, std::size_t room,
                const DataOutput& deliver);
#endif
#ifdef PLOVERN_WITH_ZSTD
void zstdStreamed(const Entry& entry, const DataInput& next, unsigned char* output, std::size_t room,
                  const DataOutput& deliver);
#endif

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_STREAMDECODERS_H
