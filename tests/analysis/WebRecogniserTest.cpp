#include "analysis/WebRecogniser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/DatagramBuilder.h"
#include "support/TempDir.h"
#include "support/TlsBuilder.h"

namespace ravelin {
namespace {

using test::Bytes;
using test::DatagramBuilder;
using test::Ipv4;

const std::uint32_t kClient = Ipv4("10.0.0.2");
const std::uint32_t kServer = Ipv4("192.0.2.7");
const Bytes kClientId = test::FromHex("8394c8f03e515708");

class WebRecogniserTest : public ::testing::Test {
protected:
    WebRecogniserTest() {
        std::ofstream(path_)
            << "[HighLightExtension]\nExt[0]=FF8000,tls,css,\nExt[1]=0000FF,quic,\n";
    }

    static DatagramBuilder Tcp(std::uint16_t serverPort, std::uint32_t sequence, Bytes payload,
                               std::uint16_t clientPort = 40000) {
        DatagramBuilder builder;
        builder.protocol = 6;
        builder.source = kClient;
        builder.destination = kServer;
        builder.sourcePort = clientPort;
        builder.destinationPort = serverPort;
        builder.sequence = sequence;
        builder.tcpFlags = 0x18;
        builder.payload = std::move(payload);
        return builder;
    }

    static DatagramBuilder Udp(std::uint16_t serverPort, Bytes payload,
                               std::uint16_t clientPort = 50000) {
        DatagramBuilder builder = Tcp(serverPort, 0, std::move(payload), clientPort);
        builder.protocol = 17;
        return builder;
    }

    /// The row for the datagram, as "METHOD URL COLOUR", or "" for none.
    std::string Offer(const DatagramBuilder& builder, std::int64_t seconds = 100) {
        const Bytes bytes = builder.Build();
        const auto decoded = DecodeDatagram(bytes);
        EXPECT_TRUE(decoded);
        const auto request = recogniser_.Recognise(*decoded, {seconds, 0});
        if (!request) return "";
        char colour[16];
        std::snprintf(colour, sizeof colour, "%02X%02X%02X", RedOf(request->colour),
                      GreenOf(request->colour), BlueOf(request->colour));
        return std::string(request->method) + " " + request->url + " " + colour;
    }

    /// Each part as a segment of its own, in order from `sequence`; the rows they gave.
    std::vector<std::string> Segments(std::uint32_t sequence, const std::vector<Bytes>& parts,
                                      std::uint16_t clientPort = 40000) {
        std::vector<std::string> rows;
        for (const Bytes& part : parts) {
            rows.push_back(Offer(Tcp(443, sequence, part, clientPort)));
            sequence += static_cast<std::uint32_t>(part.size());
        }
        return rows;
    }

    test::TempDir directory_;
    std::string path_ = (directory_.path() / "colours.ini").string();
    WebRecogniser recogniser_{path_};
};

std::vector<Bytes> Split(const Bytes& bytes, std::vector<std::size_t> cuts) {
    std::vector<Bytes> parts;
    std::size_t from = 0;
    cuts.push_back(bytes.size());
    for (const std::size_t cut : cuts) {
        parts.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                           bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        from = cut;
    }
    return parts;
}

Bytes Hello(std::string_view host, std::size_t keyShare = 36) {
    return test::HandshakeRecords(test::ClientHelloBuilder::Modern(host, keyShare).Build());
}

TEST_F(WebRecogniserTest, ClientHelloInOneSegment) {
    EXPECT_EQ(Offer(Tcp(443, 1, Hello("example.com"))), "TLS https://example.com/ FF8000");
    EXPECT_EQ(Offer(Tcp(8443, 1, Hello("alt.example"))), "TLS https://alt.example:8443/ FF8000");
    // Without a server name, the server's address stands for it.
    EXPECT_EQ(Offer(Tcp(993, 1, Hello(""))), "TLS https://192.0.2.7:993/ FF8000");
    test::ClientHelloBuilder tls10;
    tls10.legacyVersion = 0x0301;
    tls10.extensions.reset();
    EXPECT_EQ(Offer(Tcp(443, 1, test::HandshakeRecords(tls10.Build(), 16384, 0x0300))),
              "TLS https://192.0.2.7/ FF8000");
    // Data in a SYN (TCP Fast Open) starts one after the SYN's own sequence number.
    DatagramBuilder syn = Tcp(443, 77, Hello("fast.open"));
    syn.tcpFlags = 0x02;
    EXPECT_EQ(Offer(syn), "TLS https://fast.open/ FF8000");

    // Plain HTTP is recognised as before, with its extension's colour; malformed hellos and
    // other records give nothing.
    const std::string get = "GET /a.css HTTP/1.1\r\nHost: example.com\r\n\r\n";
    EXPECT_EQ(Offer(Tcp(80, 1, Bytes(get.begin(), get.end()))),
              "GET http://example.com/a.css FF8000");
    Bytes broken = Hello("example.com");
    broken[77] ^= 0xFF;  // the cipher suites' length
    EXPECT_EQ(Offer(Tcp(443, 1, broken)), "");
    Bytes record = Hello("example.com");
    record[0] = 0x17;
    EXPECT_EQ(Offer(Tcp(443, 1, record)), "");
    EXPECT_EQ(recogniser_.pendingTlsCount(), 0U);
}

TEST_F(WebRecogniserTest, SplitClientHelloIsPutTogetherInOrder) {
    const Bytes hello = Hello("split.example", 1400);
    const auto parts = Split(hello, {3, 536, 1072});
    EXPECT_EQ(Segments(1000, parts),
              (std::vector<std::string>{"", "", "", "TLS https://split.example/ FF8000"}));

    // Two connections interleaved, with a duplicate and a retransmission that overlaps the
    // end of what came and carries on from there.
    std::vector<std::string> rows;
    rows.push_back(Offer(Tcp(443, 5000, parts[0], 40001)));
    rows.push_back(Offer(Tcp(443, 9000, parts[0], 40002)));
    rows.push_back(Offer(Tcp(443, 5000, parts[0], 40001)));  // duplicate
    Bytes overlapping = parts[0];
    overlapping.insert(overlapping.end(), parts[1].begin(), parts[1].end());
    rows.push_back(Offer(Tcp(443, 5000, overlapping, 40001)));
    rows.push_back(Offer(Tcp(443, 9003, parts[1], 40002)));
    rows.push_back(Offer(Tcp(443, 9536, parts[2], 40002)));
    rows.push_back(Offer(Tcp(443, 5536, parts[2], 40001)));
    rows.push_back(Offer(Tcp(443, 5536 + 536, parts[3], 40001)));
    rows.push_back(Offer(Tcp(443, 9536 + 536, parts[3], 40002)));
    EXPECT_EQ(rows, (std::vector<std::string>{"", "", "", "", "", "", "",
                                              "TLS https://split.example/ FF8000",
                                              "TLS https://split.example/ FF8000"}));
    EXPECT_EQ(recogniser_.pendingTlsCount(), 0U);
}

TEST_F(WebRecogniserTest, SplitClientHelloIsGivenUp) {
    const auto parts = Split(Hello("lost.example", 1400), {700});
    // A gap: the second part arrives one byte late.
    EXPECT_EQ(Segments(1, {parts[0]}), std::vector<std::string>{""});
    EXPECT_EQ(Offer(Tcp(443, 702, parts[1])), "");
    // A retransmission whose bytes differ from those received.
    Bytes changed = parts[0];
    changed[600] ^= 1;
    EXPECT_EQ(Offer(Tcp(443, 1, parts[0])), "");
    EXPECT_EQ(Offer(Tcp(443, 1, changed)), "");
    EXPECT_EQ(Offer(Tcp(443, 701, parts[1])), "");
    // Silence: the rest comes six seconds later.
    EXPECT_EQ(Offer(Tcp(443, 1, parts[0]), 100), "");
    EXPECT_EQ(Offer(Tcp(443, 701, parts[1]), 106), "");
    // And it completes when nothing of that happens.
    EXPECT_EQ(Offer(Tcp(443, 1, parts[0]), 200), "");
    EXPECT_EQ(Offer(Tcp(443, 701, parts[1]), 204), "TLS https://lost.example/ FF8000");

    // A stream of records that never adds up to a message stops at the bound.
    Bytes record = {0x16, 0x03, 0x01, 0x40, 0x00, 0x01, 0x00, 0x3F, 0xFC};  // a 16384-byte hello
    EXPECT_EQ(Offer(Tcp(443, 1, record, 41000)), "");
    EXPECT_EQ(recogniser_.pendingTlsCount(), 1U);
    std::uint32_t sequence = 1 + static_cast<std::uint32_t>(record.size());
    for (int i = 0; i < 16; ++i) {
        Offer(Tcp(443, sequence, Bytes(1000, 0x01), 41000));
        sequence += 1000;
    }
    EXPECT_EQ(recogniser_.pendingTlsCount(), 1U);
    Offer(Tcp(443, sequence, Bytes(2000, 0x01), 41000));  // 16384 + 5 needs only 384 of these
    EXPECT_EQ(recogniser_.pendingTlsCount(), 0U);
}

TEST_F(WebRecogniserTest, PendingClientHellosAreBounded) {
    const auto parts = Split(Hello("many.example"), {100});
    const int connections = static_cast<int>(TlsRecogniser::kMaximumConnections) + 44;
    for (int i = 0; i < connections; ++i) {
        Offer(Tcp(443, 1, parts[0], static_cast<std::uint16_t>(20000 + i)));
    }
    EXPECT_EQ(recogniser_.pendingTlsCount(), TlsRecogniser::kMaximumConnections);
    // The oldest made room; the newest completes.
    EXPECT_EQ(Offer(Tcp(443, 101, parts[1], 20000)), "");
    EXPECT_EQ(Offer(Tcp(443, 101, parts[1], static_cast<std::uint16_t>(20000 + connections - 1))),
              "TLS https://many.example/ FF8000");
}

// The RFC 9001 appendix A.2 ClientHello, as a CRYPTO frame.
Bytes RfcHello() {
    return test::FromHex(
        "010000ed0303ebf8fa56f12939b9584a3896472ec40bb863cfd3e86804fe3a47f06a2b69484c000004130113"
        "02010000c000000010000e00000b6578616d706c652e636f6dff01000100000a00080006001d001700180010"
        "000700050461"
        "6c706e000500050100000000003300260024001d00209370b2c9caa47fbabaf4559fedc4fdd9b6f6e8fe0ae8"
        "f48d2b2cbb4ae76fe16e002b0003020304000d0010000e0403050306030203080408050806002d0002010100"
        "1c00024001003900320408ffffffffffffffff05048000ffff07048000ffff0801100104800075300901100f"
        "088394c8f03e51570806048000ffff");
}

Bytes Concatenated(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(WebRecogniserTest, QuicClientInitialGivesOneRowPerConnection) {
    const Bytes hello = RfcHello();
    for (const QuicVersion version : {QuicVersion::kVersion1, QuicVersion::kVersion2}) {
        const std::uint16_t port = version == QuicVersion::kVersion1 ? 50001 : 50002;
        const Bytes initial =
            test::SealClientInitial(version, kClientId, {}, test::CryptoFrame(0, hello), 2);
        EXPECT_EQ(Offer(Udp(443, initial, port)), "QUIC https://example.com/ 0000FF");
        // The client's retransmission lists nothing more.
        EXPECT_EQ(Offer(Udp(443, initial, port)), "");
    }
    // Another port, and no server name.
    Bytes nameless = test::ClientHelloBuilder::Modern("").Build();
    EXPECT_EQ(Offer(Udp(4433, test::SealClientInitial(QuicVersion::kVersion1, kClientId, {},
                                                      test::CryptoFrame(0, nameless), 0))),
              "QUIC https://192.0.2.7:4433/ 0000FF");

    // Under 1200 bytes, a short id, a server's id or damage: nothing.
    const Bytes frame = test::CryptoFrame(0, hello);
    EXPECT_EQ(
        Offer(Udp(443,
                  test::SealClientInitial(QuicVersion::kVersion1, kClientId, {}, frame, 0, 1199),
                  50003)),
        "");
    EXPECT_EQ(
        Offer(Udp(443, test::SealClientInitial(QuicVersion::kVersion1, Bytes(7, 1), {}, frame, 0),
                  50003)),
        "");
    Bytes damaged = test::SealClientInitial(QuicVersion::kVersion1, kClientId, {}, frame, 0);
    damaged[700] ^= 0x80;
    EXPECT_EQ(Offer(Udp(443, damaged, 50003)), "");
    // HTTP over UDP is still recognised, without a colour for an URL without extension.
    const std::string get = "GET /q HTTP/1.1\r\nHost: h\r\n\r\n";
    EXPECT_EQ(Offer(Udp(80, Bytes(get.begin(), get.end()))), "GET http://h/q E3EDCD");
}

TEST_F(WebRecogniserTest, QuicClientHelloSpreadOverPackets) {
    const Bytes hello = test::ClientHelloBuilder::Modern("pq.example", 1250).Build();
    ASSERT_GT(hello.size(), 1300U);
    const auto halves = Split(hello, {1000});
    const Bytes first = test::CryptoFrame(0, halves[0]);
    const Bytes second = test::CryptoFrame(1000, halves[1]);
    const auto seal = [&](const Bytes& frames, std::uint32_t number, std::size_t size = 1200) {
        return test::SealClientInitial(QuicVersion::kVersion1, kClientId, Bytes{9, 9}, frames,
                                       number, size);
    };
    // Second half first, with an ACK and a PING in front; the row comes with the first half.
    EXPECT_EQ(
        Offer(Udp(443, seal(Concatenated({{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, second}), 1))), "");
    EXPECT_EQ(Offer(Udp(443, seal(first, 0))), "QUIC https://pq.example/ 0000FF");

    // Both packets coalesced in one datagram, the CRYPTO frames split differently, with a
    // Handshake packet between them that is skipped.
    const auto thirds = Split(hello, {400, 900});
    Bytes handshake = {0xE0, 0, 0, 0, 1, 8};
    handshake.insert(handshake.end(), kClientId.begin(), kClientId.end());
    handshake.insert(handshake.end(), {0, 0x40, 20});
    handshake.resize(handshake.size() + 20, 0x55);
    const Bytes datagram = Concatenated(
        {seal(Concatenated({test::CryptoFrame(900, thirds[2]), test::CryptoFrame(0, thirds[0])}), 3,
              700),
         handshake, seal(test::CryptoFrame(400, thirds[1]), 4, 600)});
    EXPECT_EQ(Offer(Udp(443, datagram, 50010)), "QUIC https://pq.example/ 0000FF");
    EXPECT_EQ(Offer(Udp(443, datagram, 50010)), "");

    // Half a ClientHello stays until five seconds of silence, then starts afresh.
    EXPECT_EQ(Offer(Udp(443, seal(first, 0), 50020), 100), "");
    EXPECT_EQ(Offer(Udp(443, seal(second, 1), 50020), 106), "");
    EXPECT_EQ(Offer(Udp(443, seal(first, 2), 50020), 107), "QUIC https://pq.example/ 0000FF");
}

TEST_F(WebRecogniserTest, QuicConnectionsAreBounded) {
    const Bytes hello = test::ClientHelloBuilder::Modern("b.example").Build();
    const Bytes partial = test::CryptoFrame(0, Bytes(hello.begin(), hello.begin() + 32));
    const int connections = static_cast<int>(QuicRecogniser::kMaximumConnections) + 10;
    for (int i = 0; i < connections; ++i) {
        Bytes id = kClientId;
        id[0] = static_cast<std::uint8_t>(i);
        id[1] = static_cast<std::uint8_t>(i >> 8);
        Offer(Udp(443, test::SealClientInitial(QuicVersion::kVersion1, id, {}, partial, 0)));
    }
    EXPECT_EQ(recogniser_.quicConnectionCount(), QuicRecogniser::kMaximumConnections);
    // The first connections made room: their rest starts them anew and lists nothing.
    const Bytes rest = test::CryptoFrame(32, Bytes(hello.begin() + 32, hello.end()));
    Bytes first = kClientId;
    first[0] = first[1] = 0;
    EXPECT_EQ(Offer(Udp(443, test::SealClientInitial(QuicVersion::kVersion1, first, {}, rest, 1))),
              "");
    Bytes last = kClientId;
    last[0] = static_cast<std::uint8_t>(connections - 1);
    last[1] = static_cast<std::uint8_t>((connections - 1) >> 8);
    EXPECT_EQ(Offer(Udp(443, test::SealClientInitial(QuicVersion::kVersion1, last, {}, rest, 1))),
              "QUIC https://b.example/ 0000FF");
}

}  // namespace
}  // namespace ravelin
