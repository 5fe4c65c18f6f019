#include "output/HexDump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ravelin {
namespace {

TEST(HexDumpTest, PairsSeparatedBySpaces) {
    const std::vector<std::uint8_t> bytes = {0x47, 0x45, 0x54};
    EXPECT_EQ(HexDump(bytes), "47 45 54 ");
}

TEST(HexDumpTest, EmptyGivesEmpty) {
    EXPECT_EQ(HexDump({}), "");
}

TEST(HexDumpTest, UpperCaseAndLeadingZeros) {
    const std::vector<std::uint8_t> bytes = {0x0A, 0xFF, 0x00, 0xab};
    EXPECT_EQ(HexDump(bytes), "0A FF 00 AB ");
}

TEST(HexDumpTest, LineFeedAfterEverySixteenthByte) {
    std::vector<std::uint8_t> bytes;
    for (int value = 0; value < 16; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
    EXPECT_EQ(HexDump(bytes), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n");

    bytes.push_back(0x10);
    const std::string dump = HexDump(bytes);
    EXPECT_EQ(dump.size(), 17U * 3);
    EXPECT_EQ(dump.substr(45), "0F\n10 ");
}

TEST(HexDumpTest, ByteStartsAtThreeTimesItsIndex) {
    std::vector<std::uint8_t> bytes;
    for (int value = 0; value < 40; ++value) bytes.push_back(static_cast<std::uint8_t>(value * 7));
    const std::string dump = HexDump(bytes);
    ASSERT_EQ(dump.size(), bytes.size() * 3);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        EXPECT_EQ(dump[3 * index], kDigits[bytes[index] >> 4]) << index;
        EXPECT_EQ(dump[3 * index + 1], kDigits[bytes[index] & 0x0F]) << index;
        EXPECT_EQ(dump[3 * index + 2], index == 15 || index == 31 ? '\n' : ' ') << index;
    }
}

}  // namespace
}  // namespace ravelin
