#ifndef PLOVERN_ZIPCORE_ZIPFORMAT_H
#define PLOVERN_ZIPCORE_ZIPFORMAT_H

#include <cstddef>
#include <cstdint>

// The zip format's field values, and the little-endian accessors the
// record codec (ZipRecords.h) is built on.
namespace zipcore {

constexpr std::uint32_t Full32 = 0xffffffffu;

constexpr std::uint16_t Zip64ExtraId = 0x0001;
constexpr std::uint16_t ExtendedTimestampId = 0x5455;

constexpr std::uint16_t FlagEncrypted = 0x0001;
constexpr std::uint16_t FlagDataDescriptor = 0x0008; // sizes and CRC follow the data
constexpr std::uint16_t FlagUtf8 = 0x0800;

constexpr std::uint16_t MethodStored = 0;
constexpr std::uint16_t MethodDeflated = 8;
constexpr std::uint16_t MethodDeflate64 = 9;
constexpr std::uint16_t MethodBzip2 = 12;
constexpr std::uint16_t MethodLzma = 14;
constexpr std::uint16_t MethodZstd = 93;
constexpr std::uint16_t MethodXz = 95;
constexpr std::uint16_t MethodPpmd = 98;
constexpr std::uint16_t MethodAes = 99;

// Systems a "made by" field names whose attributes carry a Unix mode.
constexpr unsigned HostUnix = 3;
constexpr unsigned HostDarwin = 19;
// p7zip keeps Unix permissions in the high half of the attributes and marks
// them with this bit even when it names another system.
constexpr std::uint32_t UnixExtensionBit = 0x8000;

// Unix file types in the high half of the external attributes.
constexpr std::uint32_t ModeTypeMask = 0170000;
constexpr std::uint32_t ModeFolder = 0040000;
constexpr std::uint32_t ModeLink = 0120000;

inline std::uint16_t get16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t get32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t get64(const unsigned char* p)
{
    return static_cast<std::uint64_t>(get32(p)) | (static_cast<std::uint64_t>(get32(p + 4)) << 32);
}

inline void put16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

inline void put32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void put64(unsigned char* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Whether `length` bytes at `offset` lie within `size` bytes, without an
// overflow whatever the three values are.
inline bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ZIPFORMAT_H
