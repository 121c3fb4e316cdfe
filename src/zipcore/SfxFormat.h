#ifndef PLOVERN_ZIPCORE_SFXFORMAT_H
#define PLOVERN_ZIPCORE_SFXFORMAT_H

#include "ByteSource.h"
#include "ZipDirectory.h"
#include "ZipRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The parts of a Plovern self-extractor that are not zip records (see
// sfx-runtime/FORMAT.md): the settings block between the runtime and the zip
// data, the runtime's anchor that says where that block starts, and reading
// a self-extractor the way its runtime does. Shared by the maker (the
// engine), the archive writer that keeps a self-extractor's stub, and both
// runtimes, so that all of them agree on every byte.
namespace zipcore {

// What the maker of a self-extractor chose. The defaults are those of a
// block without the key: extract into the current folder, create it when
// missing, no closing message, nothing to run afterwards.
struct SfxSettings
{
    std::string folder;  // default target folder as typed by the maker; empty means the current folder
    bool create = true;  // create the target folder when it is missing
    std::string message; // closing message
    bool show = false;   // print the closing message after extracting
    std::string run;     // program started in the target folder after extracting; empty for none

    bool operator==(const SfxSettings& other) const;
};

// Where the zip part of a self-extractor lies, as its settings block records
// it. The block itself starts where the runtime ends.
struct SfxPlacement
{
    std::uint64_t zipStart = 0;  // the first byte after the block: the zip part
    std::uint64_t endRecord = 0; // the end-of-central-directory record
    std::uint64_t fileSize = 0;  // the whole self-extractor
};

struct SfxBlock
{
    SfxSettings settings;
    SfxPlacement placement;
};

// The block's fixed header (magic, text length, placement, CRC-32) and the
// trailer after its text (magic, the whole block's length), which lets a
// writer that knows only where the zip part starts find the block again.
constexpr std::size_t SfxHeaderSize = 48;
constexpr std::size_t SfxTrailerSize = 16;
// A block holds a folder, a message and a program path; anything larger is
// not one of ours and not worth holding in memory.
constexpr std::uint64_t MaxSfxBlock = 16 * 1024 * 1024;

// The block for `block`: header, "key=value" lines, trailer. Its length
// depends on the settings only, so a writer can put a block with the
// placement still unknown and write it again, in the same bytes, once the
// placement is known.
Bytes encodeSfxBlock(const SfxBlock& block);

// The whole block's length, read from the first SfxHeaderSize bytes of one.
Parsed<std::uint64_t> sfxBlockLength(const unsigned char* header, std::size_t length);
// The whole block's length, read from the SfxTrailerSize bytes right before
// the zip part.
Parsed<std::uint64_t> sfxBlockLengthFromTrailer(const unsigned char* trailer, std::size_t length);
// The block in exactly `length` bytes; refused when anything does not add up
// (magic, lengths, the trailer, the CRC-32 over all of it).
Parsed<SfxBlock> parseSfxBlock(const unsigned char* data, std::size_t length);

// The runtime's anchor: this marker, then 8 bytes (little-endian) that the
// maker sets, in its copy of the runtime, to where the settings block starts.
// A runtime that was not made into a self-extractor holds 0 there.
constexpr unsigned char SfxAnchorMarker[16] = {'P', 'l', 'o', 'v', 'e',  'r',  'n',  'S',
                                               'f', 'x', 'A', 'n', 0x7f, 0xa5, 0x3c, 0x01};
constexpr std::size_t SfxAnchorSize = sizeof SfxAnchorMarker + 8;

// A self-extractor as its runtime reads it: the settings block at exactly
// `blockStart`, then the end record exactly where the block says, and the two
// must agree (the end record there, its comment reaching the end of the file,
// the file as long as recorded, the central directory and every entry inside
// the zip part, offsets counted from the start of the file). Nothing is
// searched for. Throws ZipError NotAnArchive when `blockStart` is 0 (a
// runtime on its own), Damaged when anything disagrees, ReadFailed when
// reading fails.
struct SelfExtractor
{
    SfxBlock block;
    Directory directory;
};
SelfExtractor readSelfExtractor(ByteSource& source, std::uint64_t blockStart, bool localTimes = true);

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_SFXFORMAT_H
