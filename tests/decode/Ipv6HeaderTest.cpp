#include "decode/Ipv6Header.h"

#include <gtest/gtest.h>

#include <string>

#include <cstdint>
#include <vector>

#include "decode/DatagramDecoder.h"

namespace ravelin {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A fixed header from 2001:db8::1 to 2001:db8::2 carrying `next`, then `chain`; the payload
// length covers the chain.
Bytes Datagram(std::uint8_t next, const Bytes& chain) {
    Bytes bytes = {0x60,
                   0,
                   0,
                   0,
                   static_cast<std::uint8_t>(chain.size() >> 8),
                   static_cast<std::uint8_t>(chain.size()),
                   next,
                   64};
    for (const std::uint8_t last : {1, 2}) {
        bytes.insert(bytes.end(), {0x20, 0x01, 0x0d, 0xb8});
        bytes.insert(bytes.end(), 11, 0);
        bytes.push_back(last);
    }
    bytes.insert(bytes.end(), chain.begin(), chain.end());
    return bytes;
}

// An extension header of `length` bytes naming `next`, with the length byte its kind uses.
Bytes Extension(std::uint8_t next, std::uint8_t lengthField, std::size_t length) {
    Bytes bytes(length, 0);
    bytes[0] = next;
    bytes[1] = lengthField;
    return bytes;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(Ipv6HeaderTest, WalksEachKindOfExtensionHeaderToTheUpperProtocol) {
    // Hop-by-Hop (8), Destination Options (16), Routing (8), AH (12), then a TCP header.
    const Bytes tcp(20, 0);
    const Bytes datagram = Datagram(0, Joined({Extension(60, 0, 8), Extension(43, 1, 16),
                                               Extension(51, 0, 8), Extension(6, 1, 12), tcp}));
    Ipv6Header header;
    ASSERT_TRUE(header.Parse(datagram));
    EXPECT_EQ(header.protocol, 6);
    EXPECT_EQ(header.upperOffset, 40u + 8 + 16 + 8 + 12);
    EXPECT_EQ(header.end, datagram.size());
    EXPECT_TRUE(header.hasUpperHeader());
    EXPECT_EQ(header.sourceAddress[15], 1);
    EXPECT_EQ(header.destinationAddress[0], 0x20);

    // Cut anywhere, by the capture or by the payload length, it stops at the header it could not
    // read whole, and never reads past what it was given.
    for (std::size_t size = 0; size < datagram.size() - tcp.size(); ++size) {
        const Bytes cut(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(size));
        Ipv6Header shorter;
        if (size < Ipv6Header::kFixedLength) {
            EXPECT_FALSE(shorter.Parse(cut));
            continue;
        }
        ASSERT_TRUE(shorter.Parse(cut));
        EXPECT_TRUE(shorter.stopped) << size;
        EXPECT_NE(shorter.protocol, 6) << size;
        EXPECT_LE(shorter.upperOffset, size);
        if (size == Ipv6Header::kFixedLength) continue;  // a length of 0 says "all captured"
        Bytes claimed = datagram;
        claimed[5] = static_cast<std::uint8_t>(size - Ipv6Header::kFixedLength);
        ASSERT_TRUE(shorter.Parse(claimed));
        EXPECT_TRUE(shorter.stopped) << size;
    }
}

TEST(Ipv6HeaderTest, FragmentsEspAndLongChains) {
    // The first fragment carries the UDP header; a later one only bytes of the payload.
    const Bytes first = Datagram(44, Joined({{17, 0, 0x00, 0x01, 0, 0, 0, 7}, Bytes(8, 0)}));
    const Bytes later = Datagram(44, Joined({{17, 0, 0x05, 0x00, 0, 0, 0, 7}, Bytes(8, 0)}));
    Ipv6Header header;
    ASSERT_TRUE(header.Parse(first));
    EXPECT_EQ(header.protocol, 17);
    EXPECT_TRUE(header.hasUpperHeader());
    ASSERT_TRUE(header.Parse(later));
    EXPECT_EQ(header.protocol, 17);
    EXPECT_EQ(header.fragmentOffset, 160);
    EXPECT_EQ(header.upperOffset, 48u);
    EXPECT_FALSE(header.hasUpperHeader());

    // ESP ends the chain; nothing after it is read as a header.
    ASSERT_TRUE(header.Parse(Datagram(0, Joined({Extension(50, 0, 8), Bytes(16, 0)}))));
    EXPECT_EQ(header.protocol, 50);
    EXPECT_EQ(header.upperOffset, 48u);
    EXPECT_FALSE(header.stopped);

    // Nine Destination Options headers: the walk stops at the ninth.
    Bytes chain;
    for (int i = 0; i < 9; ++i) chain = Joined({chain, Extension(i < 8 ? 60 : 6, 0, 8)});
    ASSERT_TRUE(header.Parse(Datagram(60, Joined({chain, Bytes(20, 0)}))));
    EXPECT_TRUE(header.stopped);
    EXPECT_EQ(header.protocol, 60);
    EXPECT_EQ(header.upperOffset, 40u + 8 * 8);

    Bytes ipv4 = Datagram(6, Bytes(20, 0));
    ipv4[0] = 0x45;
    EXPECT_FALSE(header.Parse(ipv4));
}

TEST(Ipv6HeaderTest, DecodedDatagramsTakeTheirPortsAndLengthsFromWhereTheWalkEnded) {
    // TCP behind hop-by-hop and destination options: ports, and the payload after the header.
    Bytes tcp(20, 0);
    tcp[0] = 0x9C, tcp[1] = 0x40, tcp[3] = 80, tcp[12] = 0x50;
    const Bytes get = {'G', 'E', 'T', ' '};
    // The decoded payload points into the datagram: it must outlive the decode.
    const Bytes chain = Datagram(0, Joined({Extension(60, 0, 8), Extension(6, 0, 8), tcp, get}));
    const auto chained = DecodeDatagram(chain);
    ASSERT_TRUE(chained);
    EXPECT_EQ(chained->transport, Transport::kTcp);
    EXPECT_EQ(chained->sourcePort(), 40000);
    EXPECT_EQ(chained->destinationPort(), 80);
    EXPECT_EQ(std::string(chained->payload.begin(), chained->payload.end()), "GET ");
    EXPECT_EQ(chained->dataLength, 4);

    // A walk that stops names the header it stopped at, with no ports, and the whole length.
    Bytes cut = Datagram(43, Extension(6, 4, 40));
    cut.resize(60);
    const auto stopped = DecodeDatagram(cut);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->ip.protocolName(), "ROUTING");
    EXPECT_EQ(stopped->transport, Transport::kNone);
    EXPECT_EQ(stopped->dataLength, 80);  // 40 + the payload length field, whatever was captured

    // A later fragment: its protocol from the Fragment header, its bytes as data.
    Bytes fragment = Extension(17, 0, 8);
    fragment[2] = 0x00, fragment[3] = 0xB0;  // offset 22 units, no more fragments
    const Bytes fragmented = Datagram(44, Joined({fragment, get}));
    const auto later = DecodeDatagram(fragmented);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->ip.protocolName(), "UDP");
    EXPECT_TRUE(later->ip.isLaterFragment());
    EXPECT_EQ(later->transport, Transport::kNone);
    EXPECT_EQ(std::string(later->payload.begin(), later->payload.end()), "GET ");
    EXPECT_EQ(later->dataLength, 4);
}

}  // namespace
}  // namespace ravelin
