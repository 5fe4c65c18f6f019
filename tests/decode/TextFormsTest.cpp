#include "decode/TextForms.h"

#include <gtest/gtest.h>

namespace ravelin {
namespace {

TEST(ByteCountTextTest, WholeBytesThenOneDecimalInTheLargestUnitThatKeepsAWholeOne) {
    EXPECT_EQ(ByteCountText(0), "0 B");
    EXPECT_EQ(ByteCountText(60), "60 B");
    EXPECT_EQ(ByteCountText(1023), "1023 B");
    EXPECT_EQ(ByteCountText(50.5), "51 B");  // a rate: half a byte rounds away from zero
    EXPECT_EQ(ByteCountText(1024), "1.0 KiB");
    EXPECT_EQ(ByteCountText(1500), "1.5 KiB");
    EXPECT_EQ(ByteCountText(2900), "2.8 KiB");
    EXPECT_EQ(ByteCountText(5 << 20), "5.0 MiB");
    EXPECT_EQ(ByteCountText(3.0 * (1 << 30)), "3.0 GiB");
    // TiB is the last unit, however many of them.
    EXPECT_EQ(ByteCountText(2048.0 * (std::uint64_t{1} << 40)), "2048.0 TiB");
    // Halfway between two tenths rounds up.
    EXPECT_EQ(ByteCountText(1280), "1.3 KiB");  // 1.25
    EXPECT_EQ(ByteCountText(1792), "1.8 KiB");  // 1.75
    EXPECT_EQ(ByteCountText(2.25 * (1 << 20)), "2.3 MiB");
    EXPECT_EQ(ByteCountText(1047808), "1023.3 KiB");  // 1023.25
}

}  // namespace
}  // namespace ravelin
