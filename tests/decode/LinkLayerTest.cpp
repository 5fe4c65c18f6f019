#include "decode/LinkLayer.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/DatagramBuilder.h"
#include "support/PcapFileWriter.h"

namespace ravelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace ravelin::test;

Bytes TcpDatagram(std::size_t payloadBytes, int totalLengthOverride = -1) {
    DatagramBuilder builder;
    builder.source = Ipv4("127.0.0.2");
    builder.destination = Ipv4("127.0.0.1");
    builder.sourcePort = 40000;
    builder.destinationPort = 8080;
    builder.payload.assign(payloadBytes, 0x5A);
    builder.totalLengthOverride = totalLengthOverride;
    return builder.Build();
}

Bytes Ipv6Packet() {
    Bytes packet(48, 0);
    packet[0] = 0x60;
    packet[5] = 8;   // payload length
    packet[6] = 17;  // next header: UDP
    return packet;
}

Bytes BigEndian32(std::uint32_t value, std::span<const std::uint8_t> rest) {
    // Sized once and filled in place: GCC 12 warns falsely about inserting after a short list.
    Bytes frame(4 + rest.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    std::copy(rest.begin(), rest.end(), frame.begin() + 4);
    return frame;
}

struct LinkCase {
    std::string name;
    int linkType;
    Bytes frame;
    std::size_t headerLength;  // where the datagram starts
};

std::vector<LinkCase> FramesAround(const Bytes& datagram) {
    return {
        {"Ethernet", DLT_EN10MB, EthernetFrame(datagram), 14},
        {"Ethernet 802.1Q", DLT_EN10MB, EthernetFrame(datagram, 1), 18},
        {"Ethernet QinQ", DLT_EN10MB, EthernetFrame(datagram, 2), 22},
        {"Linux cooked", DLT_LINUX_SLL, LinuxCookedFrame(datagram), 16},
        {"Linux cooked v2", DLT_LINUX_SLL2, LinuxCookedV2Frame(datagram), 20},
        {"BSD null, big-endian family", DLT_NULL, BsdLoopbackFrame(datagram, true), 4},
        {"BSD null, little-endian family", DLT_NULL, BsdLoopbackFrame(datagram, false), 4},
        {"OpenBSD loop", DLT_LOOP, BigEndian32(2, datagram), 4},
        {"raw", DLT_RAW, datagram, 0},
        {"IPv4", DLT_IPV4, datagram, 0},
    };
}

std::vector<LinkCase> Ipv6FramesAround(const Bytes& datagram) {
    return {
        {"Ethernet", DLT_EN10MB, EthernetFrame(datagram, 0, 0x86DD), 14},
        {"Ethernet 802.1Q", DLT_EN10MB, EthernetFrame(datagram, 1, 0x86DD), 18},
        {"Linux cooked", DLT_LINUX_SLL, LinuxCookedFrame(datagram, 0x86DD), 16},
        {"Linux cooked v2", DLT_LINUX_SLL2, LinuxCookedV2Frame(datagram, 0x86DD), 20},
        {"NetBSD null", DLT_NULL, BsdLoopbackFrame(datagram, true, 24), 4},
        {"FreeBSD null", DLT_NULL, BsdLoopbackFrame(datagram, false, 28), 4},
        {"macOS null", DLT_NULL, BsdLoopbackFrame(datagram, false, 30), 4},
        {"Linux family null", DLT_NULL, BsdLoopbackFrame(datagram, false, 10), 4},
        {"OpenBSD loop", DLT_LOOP, BigEndian32(24, datagram), 4},
        {"raw", DLT_RAW, datagram, 0},
        {"IPv6", DLT_IPV6, datagram, 0},
    };
}

TEST(LinkLayerTest, FindsTheDatagramBehindEverySupportedHeader) {
    const Bytes ipv4 = TcpDatagram(20);
    Bytes ipv6 = Ipv6Packet();
    for (const auto& [datagram, frames] :
         {std::pair{ipv4, FramesAround(ipv4)}, std::pair{ipv6, Ipv6FramesAround(ipv6)}}) {
        for (LinkCase c : frames) {
            SCOPED_TRACE(c.name);
            EXPECT_TRUE(IsSupportedLinkType(c.linkType));
            // Link padding after the datagram is not part of it.
            c.frame.insert(c.frame.end(), 6, 0);
            const auto found = ExtractIpDatagram(c.linkType, c.frame);
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found->data(), c.frame.data() + c.headerLength);
            EXPECT_TRUE(std::ranges::equal(*found, datagram));
        }
    }
}

TEST(LinkLayerTest, FrameCutInsideTheLinkHeaderCarriesNothing) {
    const Bytes datagram = TcpDatagram(0);
    for (const LinkCase& c : FramesAround(datagram)) {
        // Every cut up to and including the header's last byte leaves no datagram to read.
        for (std::size_t length = 0; length <= c.headerLength; ++length) {
            const std::span<const std::uint8_t> cut(c.frame.data(), length);
            EXPECT_FALSE(ExtractIpDatagram(c.linkType, cut).has_value())
                << c.name << ", cut at " << length;
        }
    }
}

TEST(LinkLayerTest, FramesWithoutIpCarryNothing) {
    const Bytes ipv4 = TcpDatagram(8);
    const Bytes ipv6 = Ipv6Packet();
    const struct {
        std::string name;
        int linkType;
        Bytes frame;
    } cases[] = {
        // The ether type decides, not what the bytes after it look like.
        {"Ethernet ARP", DLT_EN10MB, EthernetFrame(ipv4, 0, 0x0806)},
        {"802.1Q ARP", DLT_EN10MB, EthernetFrame(ipv4, 1, 0x0806)},
        {"Ethernet claiming IPv4 with version 6", DLT_EN10MB, EthernetFrame(ipv6)},
        {"Ethernet claiming IPv6 with version 4", DLT_EN10MB, EthernetFrame(ipv4, 0, 0x86DD)},
        {"Linux cooked ARP", DLT_LINUX_SLL, LinuxCookedFrame(ipv4, 0x0806)},
        {"Linux cooked v2 claiming IPv6", DLT_LINUX_SLL2, LinuxCookedV2Frame(ipv4, 0x86DD)},
        {"raw version 5", DLT_RAW, Bytes(40, 0x50)},
        {"IPv4 link with IPv6", DLT_IPV4, ipv6},
        {"IPv6 link with IPv4", DLT_IPV6, ipv4},
        {"BSD family 23", DLT_NULL, BsdLoopbackFrame(ipv6, true, 23)},
        {"BSD IPv6 family with IPv4", DLT_NULL, BsdLoopbackFrame(ipv4, false, 30)},
        // DLT_LOOP always writes the family in network order.
        {"loop with host-order family", DLT_LOOP, BsdLoopbackFrame(ipv4, false)},
        {"unsupported link type", DLT_IEEE802_11, ipv4},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ExtractIpDatagram(c.linkType, c.frame).has_value()) << c.name;
    }
    EXPECT_FALSE(IsSupportedLinkType(DLT_IEEE802_11));
    EXPECT_FALSE(IsSupportedLinkType(DLT_PPP));
    EXPECT_FALSE(IsSupportedLinkType(-1));
}

TEST(LinkLayerTest, LinkPaddingIsCutButShortDatagramsAreNotExtended) {
    const Bytes ack = TcpDatagram(0);
    ASSERT_EQ(ack.size(), 40u);
    for (int tags : {0, 1}) {
        Bytes frame = EthernetFrame(ack, tags);
        frame.resize(60 + 4 * tags, 0);  // the minimum Ethernet frame, as the driver pads it
        const auto found = ExtractIpDatagram(DLT_EN10MB, frame);
        ASSERT_TRUE(found.has_value()) << tags;
        EXPECT_EQ(found->size(), 40u) << tags;
        EXPECT_TRUE(std::ranges::equal(*found, ack)) << tags;
    }

    // A snapshot shorter than the datagram: what was captured is all there is.
    const Bytes claimsMore = TcpDatagram(20, 1500);
    const auto whole = ExtractIpDatagram(DLT_EN10MB, EthernetFrame(claimsMore));
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->size(), claimsMore.size());

    // A total length below any IPv4 header is no ground for cutting.
    const Bytes nonsense = TcpDatagram(20, 8);
    const auto kept = ExtractIpDatagram(DLT_RAW, nonsense);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->size(), nonsense.size());

    // Nor is 0, which a segment captured before offload says: the frame is the datagram, up to
    // the most an IPv4 datagram can hold.
    for (const std::size_t payload : {std::size_t{1976}, std::size_t{100000}}) {
        const Bytes offloaded = TcpDatagram(payload, 0);
        const auto found = ExtractIpDatagram(DLT_EN10MB, EthernetFrame(offloaded));
        ASSERT_TRUE(found.has_value()) << payload;
        EXPECT_EQ(found->size(), std::min<std::size_t>(offloaded.size(), 65535)) << payload;
    }
}

}  // namespace
}  // namespace ravelin
