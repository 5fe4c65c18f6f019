#include "decode/ByteReader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace ravelin {
namespace {

constexpr std::array<std::uint8_t, 8> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(ByteReaderTest, LittleEndianFieldsReadTheLowByteFirst) {
    ByteReader reader(kBytes);
    EXPECT_EQ(reader.ReadLe16(), 0x0201U);
    EXPECT_EQ(reader.ReadLe32(), 0x06050403U);
    EXPECT_EQ(reader.Position(), 6U);
    ByteReader whole(kBytes);
    EXPECT_EQ(whole.ReadLe64(), 0x0807060504030201U);
    EXPECT_EQ(whole.Remaining(), 0U);
    EXPECT_FALSE(whole.Failed());
}

TEST(ByteReaderTest, SixtyFourBitsBigEndian) {
    ByteReader reader(kBytes);
    EXPECT_EQ(reader.ReadBe64(), 0x0102030405060708U);
    EXPECT_FALSE(reader.Failed());
}

TEST(ByteReaderTest, AWideReadThatDoesNotFitReadsNothing) {
    const std::span<const std::uint8_t> seven = std::span(kBytes).first(7);
    for (int width : {2, 4, 8}) {
        SCOPED_TRACE(width);
        ByteReader reader(seven);
        reader.Skip(width == 8 ? 0 : 6);
        const std::uint64_t value = width == 2   ? reader.ReadLe16()
                                    : width == 4 ? reader.ReadLe32()
                                                 : reader.ReadLe64();
        EXPECT_EQ(value, 0U);
        EXPECT_TRUE(reader.Failed());
        EXPECT_EQ(reader.Position(), width == 8 ? 0U : 6U);
        // Once failed, it stays so: a read that would fit gives nothing either.
        reader.Seek(0);
        EXPECT_EQ(reader.ReadLe16(), 0U);
    }
    ByteReader big(seven);
    EXPECT_EQ(big.ReadBe64(), 0U);
    EXPECT_TRUE(big.Failed());
}

}  // namespace
}  // namespace ravelin
