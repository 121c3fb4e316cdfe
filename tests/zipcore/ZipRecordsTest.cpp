// The record codec, field by field: each case holds the bytes a record must
// have, written out, so that a field at the wrong place, of the wrong width
// or with the wrong value fails here even where unzip or 7-Zip would shrug
// it off.
#include "ByteSource.h"
#include "ZipDirectory.h"
#include "ZipRecords.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace zipcore;

namespace {

Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value)
        bytes.push_back(static_cast<unsigned char>(value));
    return bytes;
}

// A central header as Info-ZIP writes one: Unix, deflated, an extended
// timestamp, a comment and internal attributes, local header at 0x1234.
const Bytes keptHeader = hex("50 4b 01 02 1e 03 14 00 00 00 08 00 00 30 21 52 ef be ad de 07 00 00 00 09 00 00 00"
                             " 05 00 09 00 04 00 00 00 01 00 00 00 a4 81 34 12 00 00 61 2e 74 78 74 55 54 05 00 01"
                             " 00 00 00 5f 6e 6f 74 65");

// Both sizes in the ZIP64 field, uncompressed 0x100000001 before compressed
// 0x100000002; the offset fits 32 bits and is not there.
const Bytes zip64Sizes = hex("50 4b 01 02 1e 03 2d 00 00 00 08 00 00 00 21 00 01 00 00 00 ff ff ff ff ff ff ff ff"
                             " 01 00 14 00 00 00 00 00 00 00 00 00 a4 81 40 00 00 00 62 01 00 10 00 01 00 00 00 01"
                             " 00 00 00 02 00 00 00 01 00 00 00");

CentralHeader parsed(const Bytes& bytes)
{
    const Parsed<CentralHeader> header = parseCentralHeader(bytes.data(), bytes.size());
    EXPECT_TRUE(header.ok()) << header.error;
    return header.record;
}

TEST(ZipRecords, KeptCentralHeaderKeepsEveryFieldWhenItsOffsetMoves)
{
    CentralHeader header = parsed(keptHeader);
    EXPECT_EQ(header.name, "a.txt");
    EXPECT_EQ(header.comment, "note");
    EXPECT_EQ(header.internalAttributes, 1);
    EXPECT_EQ(header.externalAttributes, 0x81a40000u);
    EXPECT_EQ(header.localOffset, 0x1234u);
    EXPECT_EQ(header.rawLength, keptHeader.size());
    EXPECT_EQ(encode(header), keptHeader);

    header.localOffset = 0x87654321;
    Bytes moved = keptHeader;
    moved[42] = 0x21, moved[43] = 0x43, moved[44] = 0x65, moved[45] = 0x87;
    EXPECT_EQ(encode(header), moved);

    // Past 4 GiB the offset moves into a new ZIP64 field after the others.
    header.localOffset = 0x100000000;
    const Bytes far = encode(header);
    EXPECT_EQ(Bytes(far.begin() + 6, far.begin() + 8), hex("2d 00"));
    EXPECT_EQ(Bytes(far.begin() + 28, far.begin() + 34), hex("05 00 15 00 04 00"));
    EXPECT_EQ(Bytes(far.begin() + 42, far.begin() + 46), hex("ff ff ff ff"));
    EXPECT_EQ(Bytes(far.end() - 16, far.end()), hex("01 00 08 00 00 00 00 00 01 00 00 00 6e 6f 74 65"));
    EXPECT_EQ(parsed(far).localOffset, 0x100000000u);
    EXPECT_EQ(parsed(far).comment, "note");
}

TEST(ZipRecords, Zip64SizesComeUncompressedFirst)
{
    const CentralHeader header = parsed(zip64Sizes);
    EXPECT_EQ(header.size, 0x100000001u);
    EXPECT_EQ(header.compressedSize, 0x100000002u);
    EXPECT_EQ(header.localOffset, 0x40u);
    EXPECT_EQ(encode(header), zip64Sizes);

    // The directory reader resolves them the same way, and says where the
    // header stands.
    Bytes archive = hex("50 4b 03 04 2d 00 00 00 08 00 00 00 21 00 01 00 00 00 ff ff ff ff ff ff ff ff 01 00 00 00 62");
    Bytes central = zip64Sizes;
    central[42] = 0;
    archive.insert(archive.end(), central.begin(), central.end());
    DirectoryEnd end;
    end.entries = 1;
    end.size = central.size();
    end.offset = 31;
    const Bytes records = encode(end);
    archive.insert(archive.end(), records.begin(), records.end());
    MemorySource source(archive.data(), archive.size());
    const Directory directory = readDirectory(source);
    ASSERT_EQ(directory.entries.size(), 1u);
    EXPECT_EQ(directory.entries[0].size, 0x100000001u);
    EXPECT_EQ(directory.entries[0].compressedSize, 0x100000002u);
    EXPECT_EQ(directory.entries[0].centralPosition, 31u);
    EXPECT_EQ(directory.entries[0].centralLength, zip64Sizes.size());
}

TEST(ZipRecords, NewCentralHeaderUsesZip64ExactlyForValuesOfAllOnesAndMore)
{
    for (const std::uint64_t value : {0xfffffffeULL, 0xffffffffULL, 0x100000000ULL}) {
        const bool zip64 = value >= 0xffffffffULL;
        CentralHeader header;
        header.name = "x";
        header.size = value;
        header.compressedSize = value - 1;
        header.localOffset = value - 2;
        const Bytes bytes = encode(header);
        const CentralHeader back = parsed(bytes);
        EXPECT_EQ(bytes.size(),
                  47u + (zip64 ? 4 + 8 * (1 + (value - 1 >= 0xffffffffULL) + (value - 2 >= 0xffffffffULL)) : 0))
            << value;
        EXPECT_EQ(back.size, value);
        EXPECT_EQ(back.compressedSize, value - 1);
        EXPECT_EQ(back.localOffset, value - 2);
    }
}

TEST(ZipRecords, DosReadOnlyBitFollowsTheOwnersWriteBit)
{
    EXPECT_EQ(unixExternalAttributes(0100444), 0x81240001u);
    EXPECT_EQ(unixExternalAttributes(0100644), 0x81a40000u);
    EXPECT_EQ(unixExternalAttributes(0040555), 0x416d0001u);
}

TEST(ZipRecords, EndRecordsTurnZip64AtAllOnes)
{
    const auto closing = [](std::uint64_t entries, std::uint64_t size, std::uint64_t offset) {
        DirectoryEnd end;
        end.entries = entries;
        end.size = size;
        end.offset = offset;
        end.position = offset + size;
        return encode(end);
    };
    EXPECT_EQ(closing(65534, 100, 200), hex("50 4b 05 06 00 00 00 00 fe ff fe ff 64 00 00 00 c8 00 00 00 00 00"));
    const std::string zip64Head = "50 4b 06 06 2c 00 00 00 00 00 00 00 00 00 2d 00 00 00 00 00 00 00 00 00 ";
    const std::string zip64Tail = " 64 00 00 00 00 00 00 00 c8 00 00 00 00 00 00 00 50 4b 06 07 00 00 00 00 2c 01 00 00"
                                  " 00 00 00 00 01 00 00 00 50 4b 05 06 00 00 00 00 ff ff ff ff 64 00 00 00 c8 00 00 00"
                                  " 00 00";
    EXPECT_EQ(closing(65535, 100, 200), hex(zip64Head + "ff ff 00 00 00 00 00 00 ff ff 00 00 00 00 00 00" + zip64Tail));
    EXPECT_EQ(closing(65536, 100, 200), hex(zip64Head + "00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00" + zip64Tail));

    // A directory starting past 4 GiB.
    EXPECT_EQ(closing(1, 46, 0x100000064),
              hex(zip64Head
                  + "01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 2e 00 00 00 00 00 00 00 64 00 00 00"
                    " 01 00 00 00 50 4b 06 07 00 00 00 00 92 00 00 00 01 00 00 00 01 00 00 00 50 4b 05 06 00 00 00 00"
                    " 01 00 01 00 2e 00 00 00 ff ff ff ff 00 00"));
    EXPECT_EQ(closing(1, 46, 0xfffffffe).size(), EndRecord::FixedSize);
    EXPECT_EQ(closing(1, 46, 0xffffffff).size(), EndRecord::FixedSize + 76);
    EXPECT_EQ(closing(1, 0xffffffff, 0).size(), EndRecord::FixedSize + 76);

    // What is written is read back, extensible data and comment included.
    Zip64EndRecord record;
    record.entries = 70000;
    record.extensible = "xy";
    const Bytes bytes = encode(record);
    const Parsed<Zip64EndRecord> back = parseZip64EndRecord(bytes.data(), bytes.size());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.record.entries, 70000u);
    EXPECT_EQ(back.record.extensible, "xy");
    EXPECT_FALSE(parseZip64EndRecord(bytes.data(), bytes.size() - 1).ok());
    const Bytes withComment = hex("50 4b 05 06 00 00 00 00 01 00 01 00 2e 00 00 00 10 00 00 00 02 00 68 69");
    EXPECT_EQ(parseEndRecord(withComment.data(), withComment.size()).record.comment, "hi");
    EXPECT_FALSE(parseEndRecord(withComment.data(), withComment.size() - 1).ok());
}

TEST(ZipRecords, LocalHeadersAndDescriptors)
{
    LocalHeader local;
    local.versionNeeded = 45;
    local.method = 8;
    local.crc = 0x11223344;
    local.size = 5;
    local.compressedSize = 0x100000000;
    local.zip64 = true;
    local.name = "n";
    local.extra = std::string("UT\x01\x00\x00", 5);
    const Bytes bytes = encode(local);
    EXPECT_EQ(bytes,
              hex("50 4b 03 04 2d 00 00 00 08 00 00 00 00 00 44 33 22 11 ff ff ff ff ff ff ff ff 01 00 19 00"
                  " 6e 01 00 10 00 05 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 55 54 01 00 00"));
    const Parsed<LocalHeader> back = parseLocalHeader(bytes.data(), bytes.size());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.record.size, 5u);
    EXPECT_EQ(back.record.compressedSize, 0x100000000u);
    EXPECT_EQ(back.record.extra, local.extra);
    EXPECT_EQ(localHeaderLength(bytes.data(), LocalHeader::FixedSize).record, bytes.size());

    const Bytes signed64 = hex("50 4b 07 08 44 33 22 11 02 00 00 00 01 00 00 00 03 00 00 00 00 00 00 00");
    const Parsed<DataDescriptor> descriptor = parseDataDescriptor(signed64.data(), signed64.size(), true);
    ASSERT_TRUE(descriptor.ok());
    EXPECT_TRUE(descriptor.record.hasSignature);
    EXPECT_EQ(descriptor.record.compressedSize, 0x100000002u);
    EXPECT_EQ(descriptor.record.size, 3u);
    EXPECT_EQ(encode(descriptor.record), signed64);
    const Parsed<DataDescriptor> bare = parseDataDescriptor(signed64.data() + 4, 12, false);
    ASSERT_TRUE(bare.ok());
    EXPECT_FALSE(bare.record.hasSignature);
    EXPECT_EQ(bare.record.length(), 12u);
    EXPECT_FALSE(parseDataDescriptor(signed64.data(), 20, true).ok());
}

} // namespace
