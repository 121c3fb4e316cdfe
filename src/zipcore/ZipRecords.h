#ifndef PLOVERN_ZIPCORE_ZIPRECORDS_H
#define PLOVERN_ZIPCORE_ZIPRECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The zip records as named fields, and the one place that knows where each
// field stands: every reader and writer of the program parses and encodes
// local headers, central headers, data descriptors and end records through
// these functions. Plain bytes in, plain bytes out; nothing here reads a file.
//
// Sizes and offsets are held as 64-bit values. A central or local header's
// ZIP64 extra field (0x0001) is not kept among its extra fields: parsing
// resolves it into the values, encoding makes it again for the values that
// do not fit 32 bits (or that the parsed header kept there anyway), so a
// kept header re-encodes to the bytes it was read from.
namespace zipcore {

using Bytes = std::vector<unsigned char>;

// A record parsed from bytes, or why the bytes are not one.
template <typename Record>
struct Parsed
{
    Record record{};
    const char* error = nullptr; // nullptr when the bytes hold a record

    bool ok() const { return error == nullptr; }
};

// Which values of a header stand in its ZIP64 extra field (their 32-bit or
// 16-bit field then holds all ones).
struct Zip64Fields
{
    bool size = false;
    bool compressedSize = false;
    bool localOffset = false;
    bool diskStart = false;
};

struct LocalHeader
{
    static constexpr std::uint32_t Signature = 0x04034b50;
    static constexpr std::size_t FixedSize = 30;

    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    // Both sizes stand in a ZIP64 field, as a local header must have them
    // when either does not fit or when a data descriptor after the data may
    // need 64-bit sizes.
    bool zip64 = false;
    std::string name;
    std::string extra; // the extra fields other than ZIP64, as stored

    // The encoded length: fixed part, name and extra fields.
    std::size_t length() const;
};

struct CentralHeader
{
    static constexpr std::uint32_t Signature = 0x02014b50;
    static constexpr std::size_t FixedSize = 46;

    std::uint16_t madeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t diskStart = 0;
    std::uint16_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t localOffset = 0;
    std::string name;
    std::string extra; // the extra fields other than ZIP64, as stored
    std::string comment;
    // Values the header keeps in its ZIP64 field although they fit (a
    // parsed header's choice, kept so that it re-encodes as it was).
    Zip64Fields keptInZip64;
    // Where the ZIP64 field stood among the extra fields (a byte position in
    // `extra`), and whatever its payload held after the values it carries.
    std::size_t zip64At = 0;
    std::string zip64Rest;
    // Write the ZIP64 field even when nothing goes into it (a parsed header
    // that had an empty one).
    bool keepZip64Field = false;

    // Where the parsed header stood in the file and how many bytes it took;
    // set by whoever read it.
    std::uint64_t position = 0;
    std::size_t rawLength = 0;

    // The values that go into the ZIP64 field when encoded.
    Zip64Fields zip64Fields() const;
    // The encoded length, or 0 when the name, extra fields or comment are too
    // long for their 16-bit lengths.
    std::size_t length() const;
};

// The CRC and sizes after an entry's data (flag bit 3), with or without its
// optional signature; 64-bit sizes after a local header with a ZIP64 field.
struct DataDescriptor
{
    static constexpr std::uint32_t Signature = 0x08074b50;

    bool hasSignature = true;
    bool zip64 = false;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;

    std::size_t length() const { return (hasSignature ? 4 : 0) + 4 + (zip64 ? 16 : 8); }
};

struct EndRecord
{
    static constexpr std::uint32_t Signature = 0x06054b50;
    static constexpr std::size_t FixedSize = 22;

    std::uint16_t disk = 0;
    std::uint16_t directoryDisk = 0;
    std::uint16_t diskEntries = 0;
    std::uint16_t entries = 0;
    std::uint32_t directorySize = 0;
    std::uint32_t directoryOffset = 0;
    std::string comment;
};

struct Zip64EndRecord
{
    static constexpr std::uint32_t Signature = 0x06064b50;
    static constexpr std::size_t FixedSize = 56;

    std::uint16_t madeBy = 0;
    std::uint16_t versionNeeded = 45;
    std::uint32_t disk = 0;
    std::uint32_t directoryDisk = 0;
    std::uint64_t diskEntries = 0;
    std::uint64_t entries = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryOffset = 0;
    std::string extensible; // the extensible data after the fixed part

    // The "size of the remaining record" field.
    std::uint64_t remainingSize() const { return FixedSize - 12 + extensible.size(); }
};

struct Zip64Locator
{
    static constexpr std::uint32_t Signature = 0x07064b50;
    static constexpr std::size_t FixedSize = 20;

    std::uint32_t directoryDisk = 0;
    std::uint64_t zip64EndOffset = 0;
    std::uint32_t diskCount = 1;
};

// Local headers. parseLocalHeader needs the whole header (`length` may run
// further); localHeaderLength reads the fixed part alone and says how long
// the whole header is.
Parsed<LocalHeader> parseLocalHeader(const unsigned char* bytes, std::size_t length);
Parsed<std::size_t> localHeaderLength(const unsigned char* bytes, std::size_t length);
Bytes encode(const LocalHeader& header);

// Central headers, likewise; the parsed header's position is left 0.
Parsed<CentralHeader> parseCentralHeader(const unsigned char* bytes, std::size_t length);
Parsed<std::size_t> centralHeaderLength(const unsigned char* bytes, std::size_t length);
Bytes encode(const CentralHeader& header);

// A descriptor at `bytes`; `zip64` as the entry's local header says.
Parsed<DataDescriptor> parseDataDescriptor(const unsigned char* bytes, std::size_t length, bool zip64);
Bytes encode(const DataDescriptor& descriptor);

// The end record and its comment (which must be all there).
Parsed<EndRecord> parseEndRecord(const unsigned char* bytes, std::size_t length);
Bytes encode(const EndRecord& record);

// The ZIP64 end record with its extensible data (which must be all there).
// zip64EndRecordLength reads the fixed part alone and says how long the whole
// record is.
Parsed<Zip64EndRecord> parseZip64EndRecord(const unsigned char* bytes, std::size_t length);
Parsed<std::uint64_t> zip64EndRecordLength(const unsigned char* bytes, std::size_t length);
Bytes encode(const Zip64EndRecord& record);

Parsed<Zip64Locator> parseZip64Locator(const unsigned char* bytes, std::size_t length);
Bytes encode(const Zip64Locator& locator);

// What closes a central directory of `entries` entries, `size` bytes long at
// `offset`: a ZIP64 end record and locator when a value does not fit the end
// record (65,535 entries or more, or a size or offset of 0xffffffff or
// more; all ones in the end record means "see the ZIP64 record"), then the
// end record with `comment`. The records are written at `position`.
struct DirectoryEnd
{
    std::uint64_t entries = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
    std::uint64_t position = 0;
    std::string comment;
    std::uint16_t madeBy = 0; // for the ZIP64 end record
    // ZIP64 records even where no value needs them, for a writer that must
    // keep the bytes before the end record from reading as a locator.
    bool forceZip64 = false;

    bool needsZip64() const;
};
Bytes encode(const DirectoryEnd& end);

// The payload of the extra field `id` among the `length` bytes of extra
// fields at `extra`; false when there is none or the fields are damaged.
bool findExtra(const unsigned char* extra, std::size_t length, std::uint16_t id, const unsigned char** payload,
               std::size_t* payloadLength);

// The extended timestamp extra field (0x5455) with a modification time
// alone, as we write it in both headers; empty when `mtime` does not fit its
// unsigned 32 bits.
std::string encodeExtendedTimestamp(std::int64_t mtime);

// The modification time of the extended timestamp among `length` bytes of
// extra fields: a flags byte, then the times its bits name, modification
// time first. Read unsigned, as 7-Zip does, so that times after 2038 survive.
bool readExtendedMtime(const unsigned char* extra, std::size_t length, std::int64_t* mtime);

// Whether the `available` bytes at `p` (to the end of the file) start with
// an end record's signature and fixed part; `commentLength` is then the
// length its comment claims. Only that much is read, for scanning.
bool endRecordCandidate(const unsigned char* p, std::size_t available, std::size_t* commentLength);

// Whether `length` bytes at `data` hold the signature of any zip record
// (local, central, data descriptor, end, ZIP64 end, ZIP64 locator): bytes a
// reader that searches could take for a record.
bool holdsRecordSignature(const unsigned char* data, std::size_t length);

// The external attributes of a file with Unix mode `mode` (type and
// permission bits): the mode in the high half, and in the low byte the DOS
// read-only bit when nobody may write it, for readers on Windows.
std::uint32_t unixExternalAttributes(std::uint32_t mode);

} // namespace zipcore

#endif // PLOVERN_ZIPCORE_ZIPRECORDS_H
