#include "decode/QuicInitial.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/TlsBuilder.h"

namespace ravelin {
namespace {

using test::Bytes;

Bytes LongHeader(std::uint8_t first, std::uint32_t version, std::size_t idLength,
                 std::size_t payloadLength, bool token) {
    Bytes packet{first};
    for (int shift = 24; shift >= 0; shift -= 8) {
        packet.push_back(static_cast<std::uint8_t>(version >> shift));
    }
    packet.push_back(static_cast<std::uint8_t>(idLength));
    for (std::size_t i = 0; i < idLength; ++i) packet.push_back(static_cast<std::uint8_t>(i));
    packet.push_back(0);
    if (token) packet.push_back(0);
    packet.push_back(0x40 | static_cast<std::uint8_t>(payloadLength >> 8));
    packet.push_back(static_cast<std::uint8_t>(payloadLength));
    packet.resize(packet.size() + payloadLength, 0xEE);
    return packet;
}

std::vector<std::size_t> InitialSizes(const Bytes& datagram) {
    std::vector<std::size_t> sizes;
    QuicInitialPackets packets(datagram);
    while (const auto header = packets.Next()) sizes.push_back(header->packet.size());
    return sizes;
}

TEST(QuicInitialTest, CoalescedPacketsAreWalkedToTheirEnd) {
    const Bytes initial1 = LongHeader(0xC3, 1, 8, 100, true);    // 118 bytes
    const Bytes handshake1 = LongHeader(0xE3, 1, 8, 50, false);  // skipped
    const Bytes zeroRtt1 = LongHeader(0xD3, 1, 8, 30, false);    // skipped
    const Bytes initial2 = LongHeader(0xD3, 0x6b3343cf, 20, 60, true);
    Bytes datagram = initial1;
    for (const Bytes* next : {&handshake1, &zeroRtt1, &initial2}) {
        datagram.insert(datagram.end(), next->begin(), next->end());
    }
    EXPECT_EQ(InitialSizes(datagram), (std::vector<std::size_t>{118, 90}));

    // What ends the walk: a short header, an unknown version, a Retry, a length past the end,
    // an id longer than 20 bytes.
    const Bytes enders[] = {
        Bytes{0x43, 1, 2, 3},
        LongHeader(0xC3, 0xff00001d, 8, 60, true),
        LongHeader(0xF3, 1, 8, 60, true),           // v1 Retry
        LongHeader(0xC3, 0x6b3343cf, 8, 60, true),  // v2 Retry
        LongHeader(0xC3, 1, 21, 60, true),
    };
    for (const Bytes& ender : enders) {
        Bytes walked = initial1;
        walked.insert(walked.end(), ender.begin(), ender.end());
        walked.insert(walked.end(), initial1.begin(), initial1.end());
        EXPECT_EQ(InitialSizes(walked), (std::vector<std::size_t>{118}));
    }
    Bytes cut = initial1;
    cut.pop_back();
    EXPECT_TRUE(InitialSizes(cut).empty());
    EXPECT_TRUE(InitialSizes({}).empty());
}

TEST(QuicInitialTest, InitialFramesAreReadOrRefused) {
    const Bytes hello = {1, 0, 0, 2, 3, 3};
    Bytes frames = {0x00, 0x00, 0x01};                          // PADDING, PING
    frames.insert(frames.end(), {0x02, 0x05, 0x00, 0x02, 0x01,  // ACK, two more ranges
                                 0x00, 0x01, 0x40, 0x01, 0x00});
    frames.insert(frames.end(), {0x03, 0x05, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03});  // with ECN
    const Bytes second = test::CryptoFrame(300, hello);
    const Bytes first = test::CryptoFrame(0, hello);
    frames.insert(frames.end(), second.begin(), second.end());
    frames.insert(frames.end(), {0x1C, 0x01, 0x06, 0x02, 'n', 'o'});  // CONNECTION_CLOSE
    frames.insert(frames.end(), first.begin(), first.end());
    frames.resize(frames.size() + 40, 0x00);

    std::vector<CryptoFragment> fragments;
    ASSERT_TRUE(ReadInitialFrames(frames, fragments));
    ASSERT_EQ(fragments.size(), 2U);
    EXPECT_EQ(fragments[0].offset, 300U);
    EXPECT_EQ(fragments[1].offset, 0U);
    EXPECT_EQ(Bytes(fragments[1].data.begin(), fragments[1].data.end()), hello);

    const Bytes refused[] = {
        {0x08, 0x00, 0x01, 'x'},         // STREAM: never in an Initial
        {0x06, 0x00, 0x05, 1, 2},        // CRYPTO past the end
        {0x02, 0x05, 0x00, 0x3F, 0x01},  // ACK with 63 missing ranges
        {0x02, 0xC0},                    // truncated varint
        {0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00},  // offset 2^62 - 1
        {0x1C, 0x01, 0x06, 0x10, 'n'},                                       // reason past the end
    };
    for (const Bytes& bad : refused) {
        fragments.clear();
        EXPECT_FALSE(ReadInitialFrames(bad, fragments)) << int{bad[0]};
    }
    // An ACK that claims 2^62 ranges fails at the end of the bytes, without counting them all.
    fragments.clear();
    EXPECT_FALSE(ReadInitialFrames(
        Bytes{0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0, 0},
        fragments));
}

}  // namespace
}  // namespace ravelin
