#include "decode/DatagramDecoder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "support/DatagramBuilder.h"

namespace ravelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::DatagramBuilder;
using test::Ipv4;

Bytes Filler(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
    return bytes;
}

DatagramBuilder Tcp(std::size_t payloadBytes = 0) {
    DatagramBuilder builder;
    builder.protocol = 6;
    builder.source = Ipv4("10.1.2.3");
    builder.destination = Ipv4("127.0.0.1");
    builder.sourcePort = 51000;
    builder.destinationPort = 80;
    builder.payload = Filler(payloadBytes);
    return builder;
}

DatagramBuilder Udp(std::size_t payloadBytes = 0) {
    DatagramBuilder builder = Tcp(payloadBytes);
    builder.protocol = 17;
    builder.destinationPort = 53;
    return builder;
}

// Compared as integers: the payload must lie inside the input, whatever the length fields say.
bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    if (part.empty()) return true;
    const auto begin = reinterpret_cast<std::uintptr_t>(whole.data());
    const auto first = reinterpret_cast<std::uintptr_t>(part.data());
    return first >= begin && first + part.size() <= begin + whole.size();
}

// The facts every decoded datagram must satisfy, hostile or not.
void ExpectSound(const DecodedDatagram& decoded, std::span<const std::uint8_t> input) {
    EXPECT_TRUE(Inside(decoded.payload, input));
    if (decoded.ipv6) {
        EXPECT_LE(decoded.ip6.upperOffset, decoded.ip6.end);
        EXPECT_LE(decoded.ip6.end, input.size());
        if (decoded.transport == Transport::kNone && !decoded.ip6.isLaterFragment()) {
            EXPECT_TRUE(decoded.payload.empty());
            EXPECT_EQ(decoded.dataLength, static_cast<std::int32_t>(decoded.ipLength));
        } else {
            EXPECT_EQ(decoded.dataLength, static_cast<std::int32_t>(decoded.payload.size()));
        }
    } else if (decoded.ip.isLaterFragment() && decoded.ip.headerLength >= 20 &&
               decoded.ip.headerLength <= input.size()) {
        EXPECT_EQ(decoded.transport, Transport::kNone);
        EXPECT_EQ(decoded.payload.data(), input.data() + decoded.ip.headerLength);
        EXPECT_EQ(decoded.dataLength, static_cast<std::int32_t>(decoded.payload.size()));
    } else if (decoded.transport == Transport::kNone) {
        EXPECT_TRUE(decoded.payload.empty());
        EXPECT_EQ(decoded.dataLength, static_cast<std::int32_t>(input.size()));
        EXPECT_EQ(decoded.sourcePort(), 0);
        EXPECT_EQ(decoded.destinationPort(), 0);
    } else {
        EXPECT_EQ(decoded.dataLength, static_cast<std::int32_t>(decoded.payload.size()));
    }
}

DecodedDatagram DecodeSound(const Bytes& datagram) {
    auto decoded = DecodeDatagram(datagram);
    if (!decoded) {
        ADD_FAILURE() << "a datagram of " << datagram.size() << " bytes was not decoded";
        return {};
    }
    ExpectSound(*decoded, datagram);
    return *decoded;
}

std::uint16_t Raw16(const Bytes& bytes, std::size_t at) {
    std::uint16_t value = 0;
    std::memcpy(&value, &bytes[at], sizeof value);
    return value;
}

TEST(ProtocolNameTest, NamesListedNumbersAndNothingElse) {
    EXPECT_EQ(ProtocolName(0), "IP");
    EXPECT_EQ(ProtocolName(4), "IPV4");
    EXPECT_EQ(ProtocolName(6), "TCP");
    EXPECT_EQ(ProtocolName(17), "UDP");
    EXPECT_EQ(ProtocolName(41), "IPV6");
    EXPECT_EQ(ProtocolName(59), "NONE");
    EXPECT_EQ(ProtocolName(77), "ND");
    EXPECT_EQ(ProtocolName(78), "ICLFXBM");
    for (int unlisted : {5, 7, 79, 132, 255}) {
        EXPECT_TRUE(ProtocolName(static_cast<std::uint8_t>(unlisted)).empty()) << unlisted;
    }
}

TEST(DatagramDecoderTest, ReadsHeaderFieldsInTheirByteOrder) {
    DatagramBuilder builder = Tcp();
    builder.sequence = 0x01020304;
    builder.ack = 0xA0B0C0D0;
    Bytes tcp = builder.Build();
    const std::uint8_t source[] = {192, 168, 1, 5};  // reversed it would read 5.1.168.192
    std::memcpy(&tcp[12], source, sizeof source);
    tcp[10] = 0xAB, tcp[11] = 0xCD, tcp[36] = 0x12, tcp[37] = 0x34;  // checksums
    const auto decoded = DecodeSound(tcp);
    EXPECT_EQ(decoded.ip.headerLength, 20);
    EXPECT_EQ(decoded.ip.protocolName(), "TCP");
    EXPECT_EQ(decoded.ip.sourceText().view(), "192.168.1.5");
    EXPECT_EQ(decoded.ip.destinationText().view(), "127.0.0.1");
    EXPECT_EQ(decoded.tcp.headerLength, 20);
    EXPECT_EQ(decoded.tcp.sequenceNumber, 0x01020304u);
    EXPECT_EQ(decoded.tcp.ackNumber, 0xA0B0C0D0u);
    EXPECT_EQ(decoded.sourcePort(), 51000);
    EXPECT_EQ(decoded.destinationPort(), 80);
    // Checksums are shown as they lie in memory, not converted to host order.
    EXPECT_EQ(decoded.ip.checksum, Raw16(tcp, 10));
    EXPECT_EQ(decoded.tcp.checksum, Raw16(tcp, 36));

    Bytes udp = Udp(3).Build();
    udp[26] = 0xFE, udp[27] = 0x01;
    const auto decodedUdp = DecodeSound(udp);
    EXPECT_EQ(decodedUdp.udp.udpLength, 11);
    EXPECT_EQ(decodedUdp.destinationPort(), 53);
    EXPECT_EQ(decodedUdp.udp.checksum, Raw16(udp, 26));

    Bytes widest = Tcp(40).Build();
    widest[0] = 0x4F;
    widest[60 + 12] = 0xF0;  // both headers at their largest: 60 bytes each, nothing after
    const auto largest = DecodeSound(widest);
    EXPECT_EQ(largest.ip.headerLength, 60);
    EXPECT_EQ(largest.tcp.headerLength, 60);
}

TEST(DatagramDecoderTest, TcpFlags) {
    struct FlagCase {
        std::uint8_t flags;
        bool psh, ack, syn;
    };
    Bytes datagram = Tcp().Build();
    for (const FlagCase& c :
         {FlagCase{0x18, true, true, false}, FlagCase{0x02, false, false, true},
          FlagCase{0x12, false, true, true}, FlagCase{0xE5, false, false, false}}) {
        datagram[33] = c.flags;
        const auto decoded = DecodeSound(datagram);
        EXPECT_EQ(decoded.tcp.pshFlag, c.psh) << int{c.flags};
        EXPECT_EQ(decoded.tcp.ackFlag, c.ack) << int{c.flags};
        EXPECT_EQ(decoded.tcp.synFlag, c.syn) << int{c.flags};
    }
}

TEST(TextFormsTest, DecimalAndAddressTexts) {
    EXPECT_EQ(DecimalText(0).view(), "0");
    EXPECT_EQ(DecimalText(65535).view(), "65535");
    EXPECT_EQ(DecimalText(-7).view(), "-7");
    EXPECT_EQ(DecimalText(INT32_MIN).view(), "-2147483648");
    EXPECT_EQ(DecimalText(INT64_MIN).view(), "-9223372036854775808");
    EXPECT_EQ(AddressText(Ipv4("0.0.0.0")).view(), "0.0.0.0");
    EXPECT_EQ(AddressText(Ipv4("255.255.255.255")).view(), "255.255.255.255");
    EXPECT_EQ(AddressText(Ipv4("192.168.1.5")).view(), "192.168.1.5");
    EXPECT_EQ(TimeText(9, 5, 7).view(), "9:5:7");

    DatagramBuilder builder = Tcp();
    builder.sourcePort = 0;
    builder.destinationPort = 65535;
    const auto decoded = DecodeSound(builder.Build());
    EXPECT_EQ(decoded.tcp.sourcePortText().view(), "0");
    EXPECT_EQ(decoded.tcp.destinationPortText().view(), "65535");
}

TEST(TextFormsTest, BlankZeroBytesKeepsEverythingButZero) {
    std::string text("A\0B\r\n\0", 6);
    EXPECT_EQ(BlankZeroBytes(text), 6);
    EXPECT_EQ(text, "A B\r\n ");
    std::string empty;
    EXPECT_EQ(BlankZeroBytes(empty), 0);
}

TEST(TextFormsTest, PayloadTextMapsEveryByteToOneCharacterOrAValidSequence) {
    // Every lead byte alone, and each after a zero byte: all 256 come out one character each.
    for (int value = 0; value < 256; ++value) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value), 0};
        const PayloadChar next = NextPayloadChar(bytes);
        EXPECT_EQ(next.byteCount, 1U) << value;
        EXPECT_EQ(next.codePoint, value == 0 ? U' ' : static_cast<char32_t>(value)) << value;
    }
    const auto Char = [](std::initializer_list<std::uint8_t> bytes) {
        return NextPayloadChar(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    };
    EXPECT_EQ(Char({0xF0, 0x9F, 0x98, 0x80}).codePoint, U'\U0001F600');
    EXPECT_EQ(Char({0xF0, 0x9F, 0x98, 0x80}).byteCount, 4U);
    EXPECT_EQ(Char({0xE0, 0x80, 0xAF}).byteCount, 1U);        // overlong
    EXPECT_EQ(Char({0xED, 0xA0, 0x80}).byteCount, 1U);        // a surrogate
    EXPECT_EQ(Char({0xF4, 0x90, 0x80, 0x80}).byteCount, 1U);  // beyond Unicode
    EXPECT_EQ(Char({0xE2, 0x82}).codePoint, 0xE2U);           // cut short

    // The list's one-line text: control characters (C0, DEL, C1) as dots, zero as a space.
    const std::uint8_t payload[] = {'G', 0, '\r', '\n', 0x7F, 0xC2, 0x85, 0xE9, 0xC3, 0xA9};
    std::string text;
    AppendPayloadText(payload, sizeof payload, text);
    EXPECT_EQ(text,
              "G ...."
              "\u00E9"
              "\u00E9");
}

TEST(DatagramDecoderTest, PayloadOfWellFormedDatagrams) {
    const auto ack = DecodeSound(Tcp().Build());
    EXPECT_EQ(ack.transport, Transport::kTcp);
    EXPECT_EQ(ack.dataLength, 0);
    EXPECT_EQ(ack.sourcePort(), 51000);

    DatagramBuilder withOptions = Tcp(10);
    withOptions.ipHeaderWords = 6;
    withOptions.tcpHeaderWords = 8;
    const Bytes optionsBytes = withOptions.Build();
    const auto options = DecodeSound(optionsBytes);
    EXPECT_EQ(options.dataLength, 10);
    EXPECT_EQ(options.payload.data(), optionsBytes.data() + 24 + 32);

    DatagramBuilder emptyUdp = Udp();
    const auto empty = DecodeSound(emptyUdp.Build());
    EXPECT_EQ(empty.udp.udpLength, 8);
    EXPECT_EQ(empty.dataLength, 0);

    const Bytes udpBytes = Udp(100).Build();
    const auto udp = DecodeSound(udpBytes);
    EXPECT_EQ(udp.transport, Transport::kUdp);
    EXPECT_EQ(udp.udp.udpLength, 108);
    EXPECT_EQ(udp.dataLength, 100);
    EXPECT_EQ(udp.payload.data(), udpBytes.data() + 28);
    EXPECT_EQ(udp.destinationPort(), 53);

    DatagramBuilder icmp = Tcp(40);
    icmp.protocol = 1;
    const auto other = DecodeSound(icmp.Build());
    EXPECT_EQ(other.transport, Transport::kNone);
    EXPECT_EQ(other.ip.protocolName(), "ICMP");
    EXPECT_EQ(other.dataLength, 60);
}

TEST(DatagramDecoderTest, UnusableIpHeaderLengthLeavesTransportAbsent) {
    Bytes shortIhl = Tcp(30).Build();
    shortIhl[0] = 0x44;
    Bytes zeroIhl = Tcp(30).Build();
    zeroIhl[0] = 0x40;
    Bytes ihlPastEnd = Tcp(10).Build();  // 50 bytes; IHL claims 60
    ihlPastEnd[0] = 0x4F;
    DatagramBuilder tenAfterHeader = Tcp();
    tenAfterHeader.ipHeaderWords = 15;
    tenAfterHeader.tcpHeaderWords = 0;
    tenAfterHeader.payload = Filler(10);  // 60-byte IP header, then 10 bytes of TCP header
    Bytes exactly20 = Tcp().Build();
    exactly20.resize(20);
    Bytes udpCut = Udp().Build();
    udpCut.resize(27);  // seven bytes of UDP header

    for (const Bytes& datagram :
         {shortIhl, zeroIhl, ihlPastEnd, tenAfterHeader.Build(), exactly20, udpCut}) {
        SCOPED_TRACE(testing::Message()
                     << "size " << datagram.size() << " byte0 " << int{datagram[0]});
        const auto decoded = DecodeSound(datagram);
        EXPECT_EQ(decoded.transport, Transport::kNone);
    }
    Bytes tooShort = Tcp().Build();
    tooShort.resize(19);
    EXPECT_FALSE(DecodeDatagram(tooShort).has_value());
}

TEST(DatagramDecoderTest, TotalLengthEndsTheTcpPayloadOnlyWithinReceivedBytes) {
    DatagramBuilder claimsMore = Tcp(100);
    claimsMore.totalLengthOverride = 1500;
    const Bytes more = claimsMore.Build();
    const auto longer = DecodeSound(more);
    EXPECT_EQ(longer.dataLength, 100);
    EXPECT_EQ(longer.payload.data() + longer.payload.size(), more.data() + more.size());

    DatagramBuilder trailing = Tcp(16);
    trailing.totalLengthOverride = 50;  // the last 6 bytes are link padding
    EXPECT_EQ(DecodeSound(trailing.Build()).dataLength, 10);

    for (int claimed : {1, 19, 20, 30, 40}) {
        DatagramBuilder claimsLess = Tcp(25);
        claimsLess.totalLengthOverride = claimed;
        const auto decoded = DecodeSound(claimsLess.Build());
        EXPECT_EQ(decoded.transport, Transport::kTcp) << claimed;
        EXPECT_EQ(decoded.dataLength, 0) << claimed;
    }

    // A total length of 0 is a segment captured before the card cut it up: all of it counts.
    DatagramBuilder offloaded = Tcp(1976);
    offloaded.totalLengthOverride = 0;
    const Bytes segment = offloaded.Build();
    const auto tcp = DecodeSound(segment);
    EXPECT_EQ(tcp.dataLength, 1976);
    EXPECT_EQ(tcp.payload.data(), segment.data() + 40);
    offloaded.protocol = 17;
    offloaded.udpLengthOverride = 1984;
    EXPECT_EQ(DecodeSound(offloaded.Build()).dataLength, 1976);
}

// The bytes [from, to) of a datagram's payload as one fragment of it, with its own IP header.
Bytes Fragment(const Bytes& whole, std::size_t from, std::size_t to, bool more) {
    // Sized once and filled in place: GCC 12 warns falsely about inserting after a short range.
    Bytes fragment(20 + to - from);
    std::copy(whole.begin(), whole.begin() + 20, fragment.begin());
    std::copy(whole.begin() + 20 + static_cast<long>(from),
              whole.begin() + 20 + static_cast<long>(to), fragment.begin() + 20);
    const auto length = static_cast<std::uint16_t>(fragment.size());
    const auto flagsAndOffset = static_cast<std::uint16_t>((more ? 0x2000 : 0) | from / 8);
    fragment[2] = static_cast<std::uint8_t>(length >> 8);
    fragment[3] = static_cast<std::uint8_t>(length);
    fragment[6] = static_cast<std::uint8_t>(flagsAndOffset >> 8);
    fragment[7] = static_cast<std::uint8_t>(flagsAndOffset);
    return fragment;
}

TEST(DatagramDecoderTest, FragmentsAfterTheFirstHaveNoTransportHeader) {
    const std::string request = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
    DatagramBuilder udp = Udp(1248);
    udp.payload.insert(udp.payload.end(), request.begin(), request.end());
    const Bytes whole = udp.Build();
    const Bytes first = Fragment(whole, 0, 1256, true);
    const Bytes second = Fragment(whole, 1256, whole.size() - 20, false);

    const auto head = DecodeSound(first);
    EXPECT_EQ(head.transport, Transport::kUdp);
    EXPECT_EQ(head.destinationPort(), 53);
    EXPECT_EQ(head.dataLength, 1248);  // as much of the UDP payload as this fragment holds

    const auto tail = DecodeSound(second);
    EXPECT_EQ(tail.ip.fragmentOffset, 157);
    EXPECT_EQ(tail.ip.protocolName(), "UDP");
    EXPECT_EQ(tail.transport, Transport::kNone);
    EXPECT_EQ(tail.sourcePort(), 0);
    EXPECT_EQ(std::string(tail.payload.begin(), tail.payload.end()), request);
    EXPECT_EQ(tail.dataLength, static_cast<std::int32_t>(request.size()));

    // The same for TCP, and with link padding after the fragment.
    Bytes tcpTail = Fragment(Tcp(100).Build(), 64, 120, false);
    tcpTail[9] = 6;
    tcpTail.resize(tcpTail.size() + 6, 0);
    const auto tcp = DecodeSound(tcpTail);
    EXPECT_EQ(tcp.transport, Transport::kNone);
    EXPECT_EQ(tcp.dataLength, 56);
}

TEST(DatagramDecoderTest, HostileTcpDataOffsetIsClamped) {
    for (std::uint8_t offsetByte : {0x00, 0x10, 0x40}) {
        Bytes datagram = Tcp(12).Build();
        datagram[32] = offsetByte;
        const auto decoded = DecodeSound(datagram);
        EXPECT_EQ(decoded.transport, Transport::kTcp);
        EXPECT_EQ(decoded.dataLength, 12) << "data offset below 20 counts as 20";
        EXPECT_EQ(decoded.payload.data(), datagram.data() + 40);
    }
    Bytes pastEnd = Tcp(10).Build();  // 30 bytes of TCP; the offset claims 60
    pastEnd[32] = 0xF0;
    const auto decoded = DecodeSound(pastEnd);
    EXPECT_EQ(decoded.transport, Transport::kTcp);
    EXPECT_EQ(decoded.tcp.headerLength, 60);
    EXPECT_EQ(decoded.dataLength, 0);
    EXPECT_TRUE(decoded.payload.empty());
}

TEST(DatagramDecoderTest, HostileUdpLengthIsClamped) {
    DatagramBuilder pastEnd = Udp(20);
    pastEnd.udpLengthOverride = 1000;
    const Bytes pastEndBytes = pastEnd.Build();
    const auto longer = DecodeSound(pastEndBytes);
    EXPECT_EQ(longer.dataLength, 20);
    EXPECT_EQ(longer.payload.data() + longer.payload.size(),
              pastEndBytes.data() + pastEndBytes.size());

    DatagramBuilder shorter = Udp(20);
    shorter.udpLengthOverride = 18;
    EXPECT_EQ(DecodeSound(shorter.Build()).dataLength, 10);

    for (int claimed : {0, 3, 7, 8}) {
        DatagramBuilder below = Udp(20);
        below.udpLengthOverride = claimed;
        const auto decoded = DecodeSound(below.Build());
        EXPECT_EQ(decoded.transport, Transport::kUdp) << claimed;
        EXPECT_EQ(decoded.dataLength, 0) << claimed;
    }
}

TEST(DatagramDecoderTest, EveryPrefixDecodesWithinItsBytes) {
    DatagramBuilder tcp = Tcp(64);
    tcp.ipHeaderWords = 7;
    tcp.tcpHeaderWords = 10;
    for (const Bytes& full : {tcp.Build(), Udp(64).Build()}) {
        const auto whole = DecodeSound(full);
        for (std::size_t length = 0; length <= full.size(); ++length) {
            SCOPED_TRACE(testing::Message() << "protocol " << int{full[9]} << " prefix " << length);
            const std::span<const std::uint8_t> prefix(full.data(), length);
            const auto decoded = DecodeDatagram(prefix);
            ASSERT_EQ(decoded.has_value(), length >= 20);
            if (!decoded) continue;
            ExpectSound(*decoded, prefix);
            // A cut can hide payload bytes but never invent any.
            EXPECT_LE(decoded->payload.size(), whole.payload.size());
        }
    }
}

TEST(DatagramDecoderTest, RandomBytesDecodeWithinTheirBytes) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> size(0, 120);
    for (int round = 0; round < 20000; ++round) {
        Bytes datagram(size(random));
        for (auto& b : datagram) b = static_cast<std::uint8_t>(byte(random));
        // Steer most rounds into the TCP and UDP paths, where the lengths are trusted least.
        if (datagram.size() >= 20 && round % 4 != 0) datagram[9] = round % 2 == 0 ? 6 : 17;
        const auto decoded = DecodeDatagram(datagram);
        const bool ipv6 = !datagram.empty() && (datagram[0] >> 4) == 6;
        ASSERT_EQ(decoded.has_value(), datagram.size() >= (ipv6 ? 40U : 20U));
        if (decoded) ExpectSound(*decoded, datagram);
        if (HasFailure()) FAIL() << "round " << round << ", " << datagram.size() << " bytes";
    }
}

}  // namespace
}  // namespace ravelin
