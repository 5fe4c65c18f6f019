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
    const auto parts = Split(hello, {1, 536, 1072});  // a first segment of one byte too
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
    rows.push_back(Offer(Tcp(443, 9001, parts[1], 40002)));
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

// Versions, ports, names, retransmissions, split and coalesced Initials are checked against
// tshark in tests/integration/test_tls.py; here, what a capture rarely shows.
TEST_F(WebRecogniserTest, QuicStateIsBoundedAndForgetsSilence) {
    const Bytes hello = test::ClientHelloBuilder::Modern("b.example").Build();
    const auto seal = [](const Bytes& id, const Bytes& frames, std::uint32_t number,
                         std::size_t size = 1200) {
        return test::SealClientInitial(QuicVersion::kVersion1, id, {}, frames, number, size);
    };
    const Bytes whole = test::CryptoFrame(0, hello);
    // Under 1200 bytes, a short id or a damaged packet: nothing, and no state.
    EXPECT_EQ(Offer(Udp(443, seal(kClientId, whole, 0, 1199))), "");
    EXPECT_EQ(Offer(Udp(443, seal(Bytes(7, 1), whole, 0))), "");
    Bytes damaged = seal(kClientId, whole, 0);
    damaged[700] ^= 0x80;
    EXPECT_EQ(Offer(Udp(443, damaged)), "");
    EXPECT_EQ(recogniser_.quicConnectionCount(), 0U);

    // Half a ClientHello is given up after five seconds of silence, then starts afresh.
    const Bytes first = test::CryptoFrame(0, Bytes(hello.begin(), hello.begin() + 32));
    const Bytes rest = test::CryptoFrame(32, Bytes(hello.begin() + 32, hello.end()));
    EXPECT_EQ(Offer(Udp(443, seal(kClientId, first, 0)), 100), "");
    EXPECT_EQ(Offer(Udp(443, seal(kClientId, rest, 1)), 106), "");
    EXPECT_EQ(Offer(Udp(443, seal(kClientId, first, 2)), 107), "QUIC https://b.example/ 0000FF");

    // Beyond the bound the least recently seen connections make room.
    const int connections = static_cast<int>(QuicRecogniser::kMaximumConnections) + 10;
    const auto id = [](int connection) {
        Bytes bytes = kClientId;
        bytes[0] = static_cast<std::uint8_t>(connection);
        bytes[1] = static_cast<std::uint8_t>(connection >> 8);
        return bytes;
    };
    for (int i = 0; i < connections; ++i) Offer(Udp(443, seal(id(i), first, 0)));
    EXPECT_EQ(recogniser_.quicConnectionCount(), QuicRecogniser::kMaximumConnections);
    EXPECT_EQ(Offer(Udp(443, seal(id(0), rest, 1))), "");
    EXPECT_EQ(Offer(Udp(443, seal(id(connections - 1), rest, 1))),
              "QUIC https://b.example/ 0000FF");
}

// The recogniser keeps its cipher contexts keyed from one packet to the next: packets of
// connections taking turns must each open under their own keys, whether the keys change from
// one packet to the next or stay.
TEST_F(WebRecogniserTest, InterleavedQuicConnectionsOpenUnderTheirOwnKeys) {
    const auto halves = [](std::string_view host) {
        const Bytes hello = test::ClientHelloBuilder::Modern(host).Build();
        return std::pair{test::CryptoFrame(0, Bytes(hello.begin(), hello.begin() + 40)),
                         test::CryptoFrame(40, Bytes(hello.begin() + 40, hello.end()))};
    };
    const auto seal = [](const Bytes& id, const Bytes& frames, std::uint32_t number) {
        return test::SealClientInitial(QuicVersion::kVersion1, id, {}, frames, number);
    };
    const Bytes idA = test::FromHex("a1a2a3a4a5a6a7a8");
    const Bytes idB = test::FromHex("b1b2b3b4b5b6b7b8b9");
    const Bytes idC = test::FromHex("c1c2c3c4c5c6c7c8");
    const auto [a1, a2] = halves("a.example");
    const auto [b1, b2] = halves("b.example");
    const auto [c1, c2] = halves("c.example");
    const Bytes whole = test::CryptoFrame(0, test::ClientHelloBuilder::Modern("d.example").Build());

    std::vector<std::string> rows;
    rows.push_back(Offer(Udp(443, seal(idA, a1, 0), 50001)));
    rows.push_back(Offer(Udp(443, seal(idB, b1, 0), 50002)));
    rows.push_back(Offer(Udp(443, seal(test::FromHex("d1d2d3d4d5d6d7d8"), whole, 0), 50004)));
    rows.push_back(Offer(Udp(443, seal(idA, a2, 1), 50001)));
    rows.push_back(Offer(Udp(443, seal(idC, c1, 0), 50003)));  // the same keys twice running
    rows.push_back(Offer(Udp(443, seal(idC, c2, 1), 50003)));
    rows.push_back(Offer(Udp(443, seal(idB, b2, 1), 50002)));
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "", "", "QUIC https://d.example/ 0000FF", "QUIC https://a.example/ 0000FF",
                        "", "QUIC https://c.example/ 0000FF", "QUIC https://b.example/ 0000FF"}));
    EXPECT_EQ(recogniser_.quicConnectionCount(), 4U);
}

}  // namespace
}  // namespace ravelin
