#include "SfxFormat.h"

#include <gtest/gtest.h>

namespace {

using namespace zipcore;

TEST(SfxFormat, BlockReadsBackAsWrittenAndRefusesAnyDamage)
{
    SfxBlock block;
    block.settings.folder = "C:\\Program Files\\Demo\\new\nline ~/é";
    block.settings.create = false;
    block.settings.message = "Done.\\n is not a line end\nbut this is\\";
    block.settings.show = true;
    block.settings.run = "./setup.sh --quiet";
    block.placement = {0x123456789aULL, 0xfedcba9876ULL, 0x7fffffffffffffffULL};

    const Bytes bytes = encodeSfxBlock(block);
    const Parsed<SfxBlock> read = parseSfxBlock(bytes.data(), bytes.size());
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_TRUE(read.record.settings == block.settings);
    EXPECT_EQ(read.record.placement.zipStart, block.placement.zipStart);
    EXPECT_EQ(read.record.placement.endRecord, block.placement.endRecord);
    EXPECT_EQ(read.record.placement.fileSize, block.placement.fileSize);
    // Found again from either end, as the runtime and the archive writer do.
    EXPECT_EQ(sfxBlockLength(bytes.data(), SfxHeaderSize).record, bytes.size());
    EXPECT_EQ(sfxBlockLengthFromTrailer(bytes.data() + bytes.size() - SfxTrailerSize, SfxTrailerSize).record,
              bytes.size());
    // The placement does not change the length: a writer puts the block
    // first and writes it again in the same bytes.
    SfxBlock unplaced = block;
    unplaced.placement = SfxPlacement();
    EXPECT_EQ(encodeSfxBlock(unplaced).size(), bytes.size());

    for (std::size_t i = 0; i < bytes.size(); ++i) {
        Bytes damaged = bytes;
        damaged[i] ^= 0x20;
        EXPECT_FALSE(parseSfxBlock(damaged.data(), damaged.size()).ok()) << "byte " << i;
    }
    EXPECT_FALSE(parseSfxBlock(bytes.data(), bytes.size() - 1).ok());
    Bytes longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(parseSfxBlock(longer.data(), longer.size()).ok());
}

} // namespace
