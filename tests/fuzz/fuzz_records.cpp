// The record codec on arbitrary bytes: a central directory that reads is
// encoded again, and the encoded one must read back to the same entries and
// encode to the same bytes; each record parser, tried at the start of the
// input, must give a record that survives encoding the same way.
#include "ByteSource.h"
#include "ZipDirectory.h"
#include "ZipError.h"
#include "ZipRecords.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using namespace zipcore;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<CentralHeader> centralHeaders(ByteSource& source, const Layout& layout)
{
    std::vector<CentralHeader> headers;
    forEachCentralHeader(source, layout, [&](const CentralHeader& header) { headers.push_back(header); });
    return headers;
}

// The same entry; `b` may need a later version of the format than `a`,
// when a value of all ones without a ZIP64 value in `a` moved into a ZIP64
// field.
bool sameFields(const CentralHeader& a, const CentralHeader& b)
{
    return a.madeBy == b.madeBy && a.versionNeeded <= b.versionNeeded && a.flags == b.flags && a.method == b.method
        && a.dosTime == b.dosTime && a.dosDate == b.dosDate && a.crc == b.crc && a.compressedSize == b.compressedSize
        && a.size == b.size && a.diskStart == b.diskStart && a.internalAttributes == b.internalAttributes
        && a.externalAttributes == b.externalAttributes && a.localOffset == b.localOffset && a.name == b.name
        && a.extra == b.extra && a.comment == b.comment;
}

// Every header of the directory encoded again into a directory of its own.
void roundTripDirectory(const std::uint8_t* data, std::size_t size)
{
    MemorySource source(data, size);
    std::vector<CentralHeader> headers;
    try {
        const Directory directory = readDirectory(source, false);
        headers = centralHeaders(source, directory.layout);
    } catch (const ZipError&) {
        return;
    }
    Bytes again;
    std::vector<Bytes> encoded;
    for (const CentralHeader& header : headers) {
        encoded.push_back(encode(header));
        require(!encoded.back().empty()); // a parsed header always fits again
        again.insert(again.end(), encoded.back().begin(), encoded.back().end());
    }
    DirectoryEnd end;
    end.entries = headers.size();
    end.size = again.size();
    end.position = again.size();
    const Bytes records = encode(end);
    again.insert(again.end(), records.begin(), records.end());

    // Headers the reader cannot tell from other records by design are not
    // read again: one holding the end record's signature (it may read as a
    // second end record inside the comment of the real one), or one whose
    // last 20 bytes read as a ZIP64 locator (the engine's writer adds ZIP64
    // records of its own then; encode(DirectoryEnd) does not).
    const std::size_t endAt = again.size() - records.size();
    const unsigned char signature[] = {'P', 'K', 5, 6};
    if (std::search(again.begin(), again.begin() + static_cast<std::ptrdiff_t>(endAt), signature, signature + 4)
            != again.begin() + static_cast<std::ptrdiff_t>(endAt)
        || (endAt >= Zip64Locator::FixedSize
            && parseZip64Locator(again.data() + endAt - Zip64Locator::FixedSize, Zip64Locator::FixedSize).ok()))
        return;
    MemorySource reread(again.data(), again.size());
    std::vector<CentralHeader> back;
    try {
        const Directory directory = readDirectory(reread, false);
        require(directory.entries.size() == headers.size());
        back = centralHeaders(reread, directory.layout);
    } catch (const ZipError&) {
        std::abort(); // what was written must read
    }
    require(back.size() == headers.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        require(sameFields(headers[i], back[i]));
        require(encode(back[i]) == encoded[i]);
    }
}

template <typename Record, typename Parse, typename Same>
void roundTrip(Parse parse, Same same, const std::uint8_t* data, std::size_t size)
{
    const Parsed<Record> first = parse(data, size);
    if (!first.ok())
        return;
    const Bytes bytes = encode(first.record);
    const Parsed<Record> second = parse(bytes.data(), bytes.size());
    require(second.ok() && same(first.record, second.record));
    require(encode(second.record) == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    roundTripDirectory(data, size);

    roundTrip<CentralHeader>(parseCentralHeader, sameFields, data, size);
    roundTrip<LocalHeader>(
        parseLocalHeader,
        [](const LocalHeader& a, const LocalHeader& b) {
            return a.name == b.name && a.extra == b.extra && a.crc == b.crc && a.flags == b.flags;
        },
        data, size);
    roundTrip<EndRecord>(
        parseEndRecord,
        [](const EndRecord& a, const EndRecord& b) {
            return a.entries == b.entries && a.directorySize == b.directorySize
                && a.directoryOffset == b.directoryOffset && a.comment == b.comment;
        },
        data, size);
    roundTrip<Zip64EndRecord>(
        parseZip64EndRecord,
        [](const Zip64EndRecord& a, const Zip64EndRecord& b) {
            return a.entries == b.entries && a.directorySize == b.directorySize
                && a.directoryOffset == b.directoryOffset && a.extensible == b.extensible;
        },
        data, size);
    roundTrip<Zip64Locator>(
        parseZip64Locator,
        [](const Zip64Locator& a, const Zip64Locator& b) { return a.zip64EndOffset == b.zip64EndOffset; }, data, size);
    for (const bool zip64 : {false, true})
        roundTrip<DataDescriptor>([zip64](const unsigned char* bytes,
                                          std::size_t length) { return parseDataDescriptor(bytes, length, zip64); },
                                  [](const DataDescriptor& a, const DataDescriptor& b) {
                                      return a.crc == b.crc && a.size == b.size && a.compressedSize == b.compressedSize
                                          && a.hasSignature == b.hasSignature;
                                  },
                                  data, size);
    return 0;
}
