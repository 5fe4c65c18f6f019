#include "pipeline/PacketPipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/HttpRecogniser.h"
#include "support/DatagramBuilder.h"
#include "support/TestSpool.h"

namespace ravelin {
namespace {

using test::DatagramBuilder;
using test::Ipv4;

const std::uint32_t kBound = Ipv4("10.0.0.2");
const std::uint32_t kRemote = Ipv4("10.0.0.9");

class RecordingFilter : public PacketFilter {
public:
    FilterDecision Keep(const DecodedDatagram& packet, std::uint16_t localPort, bool sentByThisHost,
                        const RecordedOwner&) override {
        calls.push_back({packet.ip.protocol, localPort, sentByThisHost});
        return {keep, kNoOwner, {}};
    }
    struct Call {
        std::uint8_t protocol;
        std::uint16_t localPort;
        bool sent;
    };
    std::vector<Call> calls;
    bool keep = true;
};

class FixedRecogniser : public RequestRecogniser {
public:
    std::optional<RecognisedRequest> Recognise(const DecodedDatagram& packet,
                                               CaptureTime time) override {
        const auto payload = packet.payload;
        seen.emplace_back(payload.begin(), payload.end());
        sequences.push_back(packet.tcp.sequenceNumber);
        times.push_back(time.seconds);
        if (payload.size() < 4 || std::string(payload.begin(), payload.begin() + 4) != "GET ") {
            return std::nullopt;
        }
        return RecognisedRequest{"GET", "http://h/x.js", 0x00112233};
    }
    std::vector<std::string> seen;
    std::vector<std::uint32_t> sequences;
    std::vector<std::int64_t> times;
};

class RecordingObserver : public ListingObserver {
public:
    void OnPacketListed(int row, int /*owner*/) override { packets.push_back(row); }
    void OnRequestListed(int row) override { requests.push_back(row); }
    std::vector<int> packets;
    std::vector<int> requests;
};

std::vector<int> Count(int n) {
    std::vector<int> numbers(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) numbers[static_cast<std::size_t>(i)] = i;
    return numbers;
}

class PacketPipelineTest : public ::testing::Test {
protected:
    static DatagramBuilder Tcp(std::uint32_t from, std::uint32_t to, std::string payload = {}) {
        DatagramBuilder builder;
        builder.protocol = 6;
        builder.source = from;
        builder.destination = to;
        builder.sourcePort = from == kBound ? 40000 : 80;
        builder.destinationPort = from == kBound ? 80 : 40000;
        builder.sequence = 1000;
        builder.ack = 2000;
        builder.tcpFlags = 0x18;
        builder.payload.assign(payload.begin(), payload.end());
        return builder;
    }

    bool List(const std::vector<std::uint8_t>& bytes, std::int64_t seconds = 0) {
        return pipeline_.Process(ravelin::Datagram::Raw(bytes, {seconds, 0}), kBound);
    }

    std::string Cell(int row, int column) {
        std::string text;
        lists_.ReadPacket(
            row, PacketRow::kPreviewBytes, preview_,
            [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload) {
                AppendPacketCellText(stored, payload, column, text, lists_.addresses);
            });
        return text;
    }

    PacketRecord Record(int row) {
        PacketRecord record;
        lists_.packets.ReadRow(
            row, [&](const StoredRow<PacketRow>& stored) { record = stored.row.record; });
        return record;
    }

    CaptureLists lists_{test::MakeTestSpool()};
    PacketPipeline pipeline_{lists_};
    std::vector<std::uint8_t> preview_;
};

TEST_F(PacketPipelineTest, PureAcknowledgementIsListedWithItsTcpFields) {
    auto builder = Tcp(kRemote, kBound);
    builder.tcpFlags = 0x10;
    ASSERT_TRUE(List(builder.Build(), 1700000000 + 3 * 3600 + 4 * 60 + 5));  // 22:13:20 + 3:04:05

    EXPECT_EQ(Cell(0, 0), "1");
    EXPECT_EQ(Cell(0, 1), "1:17:25");  // TZ=UTC, no leading zeros
    EXPECT_EQ(Cell(0, 2), "TCP");
    EXPECT_EQ(Cell(0, 3), "10.0.0.9");
    EXPECT_EQ(Cell(0, 4), "80");
    EXPECT_EQ(Cell(0, 5), "10.0.0.2");
    EXPECT_EQ(Cell(0, 6), "40000");
    EXPECT_EQ(Cell(0, 7), "0");
    EXPECT_EQ(Cell(0, 8), "");
    const PacketRecord record = Record(0);
    EXPECT_EQ(record.length, 0);
    EXPECT_TRUE(test::PayloadOf(lists_, 0).empty());
    EXPECT_EQ(record.sequenceNumber, 1000U);
    EXPECT_EQ(record.ackNumber, 2000U);
    EXPECT_TRUE(record.ackFlag);
    EXPECT_FALSE(record.pshFlag);
    EXPECT_FALSE(record.synFlag);
}

TEST_F(PacketPipelineTest, UdpAndOtherProtocolsGetTheirDataLengths) {
    DatagramBuilder udp;
    udp.protocol = 17;
    udp.source = kRemote;
    udp.destination = kBound;
    udp.sourcePort = 53;
    udp.destinationPort = 5353;
    ASSERT_TRUE(List(udp.Build()));  // udpLength 8
    udp.payload.assign(100, 'u');
    ASSERT_TRUE(List(udp.Build()));  // udpLength 108

    DatagramBuilder icmp;
    icmp.protocol = 1;
    icmp.source = kRemote;
    icmp.destination = kBound;
    icmp.payload.assign(40, 0x08);
    ASSERT_TRUE(List(icmp.Build()));  // 60 bytes

    EXPECT_EQ(Cell(0, 7), "0");
    EXPECT_EQ(Cell(0, 8), "");
    EXPECT_EQ(Cell(1, 7), "100");
    EXPECT_EQ(Cell(1, 8), std::string(100, 'u'));
    EXPECT_EQ(Record(1).length, 100);
    EXPECT_EQ(Record(1).sequenceNumber, 0U);
    EXPECT_EQ(Cell(2, 2), "ICMP");
    EXPECT_EQ(Cell(2, 4), "");
    EXPECT_EQ(Cell(2, 6), "");
    EXPECT_EQ(Cell(2, 7), "60");
    EXPECT_EQ(Cell(2, 8), "");
    EXPECT_EQ(Record(2).length, 0);
}

TEST_F(PacketPipelineTest, PreviewShowsTheFirst128BytesWithZerosAsSpaces) {
    std::string payload(300, 'p');
    payload[1] = '\0';
    payload[127] = '\0';
    payload[128] = 'X';
    ASSERT_TRUE(List(Tcp(kRemote, kBound, payload).Build()));

    std::string expected = payload.substr(0, 128);
    expected[1] = ' ';
    expected[127] = ' ';
    EXPECT_EQ(Cell(0, 8), expected);
    const PacketRecord record = Record(0);
    ASSERT_EQ(record.length, 300);
    const auto kept = test::PayloadOf(lists_, 0);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), payload);  // the spool keeps zeros
}

TEST_F(PacketPipelineTest, DirectionDecidesLocalPortAndColour) {
    RecordingFilter filter;
    pipeline_.SetFilter(&filter);
    ASSERT_TRUE(List(Tcp(kBound, kRemote).Build()));
    ASSERT_TRUE(List(Tcp(kRemote, kBound).Build()));
    DatagramBuilder icmp;
    icmp.protocol = 1;
    icmp.source = kRemote;
    icmp.destination = kBound;
    ASSERT_TRUE(List(icmp.Build()));

    ASSERT_EQ(filter.calls.size(), 3U);
    EXPECT_EQ(filter.calls[0].localPort, 40000);  // sent: source port
    EXPECT_TRUE(filter.calls[0].sent);
    EXPECT_EQ(filter.calls[1].localPort, 40000);  // received: destination port
    EXPECT_FALSE(filter.calls[1].sent);
    EXPECT_EQ(filter.calls[2].localPort, 0);
    EXPECT_EQ(lists_.packets.GetRowColour(0), kSentColour);
    EXPECT_EQ(lists_.packets.GetRowColour(1), kReceivedColour);
    EXPECT_EQ(lists_.packets.GetRowColour(2), kReceivedColour);
}

TEST(PacketPipelineAnyAddressTest, EveryAddressOfThisHostSendsOnAllInterfaces) {
    // This host: a LAN address, a second interface's, and the loopback network.
    int listings = 0;
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline(lists, [&] {
        ++listings;
        return std::vector<InterfaceAddress>{
            {"lo", Ipv4("127.0.0.1"), Ipv4("255.0.0.0"), true, true},
            {"eth0", kBound, Ipv4("255.255.255.0"), false, true},
            {"wg0", Ipv4("10.8.0.3"), Ipv4("255.255.255.255"), false, true},
        };
    });
    RecordingFilter filter;
    pipeline.SetFilter(&filter);
    const auto Udp = [](std::uint32_t from, std::uint32_t to) {
        DatagramBuilder builder;
        builder.protocol = 17;
        builder.source = from;
        builder.destination = to;
        builder.sourcePort = 1111;
        builder.destinationPort = 2222;
        return builder.Build();
    };
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> packets = {
        {kBound, kRemote},                       // sent from eth0
        {kRemote, kBound},                       // received
        {Ipv4("10.8.0.3"), kRemote},             // sent from the other interface
        {Ipv4("127.0.1.1"), Ipv4("127.0.0.1")},  // loopback network: sent
        {Ipv4("10.0.0.3"), kRemote},             // eth0's network, not its address
    };
    for (const auto& [from, to] : packets) {
        ASSERT_TRUE(pipeline.Process(Datagram::Raw(Udp(from, to), {0, 0}), 0));
    }
    const std::vector<bool> sent = {true, false, true, true, false};
    for (std::size_t row = 0; row < sent.size(); ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(filter.calls[row].sent, sent[row]);
        EXPECT_EQ(filter.calls[row].localPort, sent[row] ? 1111 : 2222);
        EXPECT_EQ(lists.packets.GetRowColour(static_cast<int>(row)),
                  sent[row] ? kSentColour : kReceivedColour);
    }
    // The interfaces are listed once for all five, not per packet.
    EXPECT_EQ(listings, 1);
    // With a bound address, only that one is the sending side.
    ASSERT_TRUE(pipeline.Process(Datagram::Raw(Udp(Ipv4("10.8.0.3"), kRemote), {0, 0}), kBound));
    EXPECT_FALSE(filter.calls.back().sent);
}

// An IPv6 datagram around the transport header and payload that `builder` makes for IPv4.
std::vector<std::uint8_t> Ipv6Datagram(const char* from, const char* to,
                                       const DatagramBuilder& builder) {
    const std::vector<std::uint8_t> ipv4 = builder.Build();
    std::vector<std::uint8_t> datagram(40, 0);
    datagram[0] = 0x60;
    const std::size_t payloadLength = ipv4.size() - 20;
    datagram[4] = static_cast<std::uint8_t>(payloadLength >> 8);
    datagram[5] = static_cast<std::uint8_t>(payloadLength);
    datagram[6] = builder.protocol;
    datagram[7] = 64;
    const auto source = IpAddress::Parse(from);
    const auto destination = IpAddress::Parse(to);
    std::copy(source->bytes.begin(), source->bytes.end(), datagram.begin() + 8);
    std::copy(destination->bytes.begin(), destination->bytes.end(), datagram.begin() + 24);
    datagram.insert(datagram.end(), ipv4.begin() + 20, ipv4.end());
    return datagram;
}

TEST(PacketPipelineIpv6Test, Ipv6RowsFollowIpv4RowsWithTheirOwnDirection) {
    // Bound to eth0's IPv4 address: eth0's IPv6 addresses send the other half of its traffic.
    CaptureLists lists{test::MakeTestSpool()};
    InterfaceAddress privacy{"eth0", 0, 0, false, true, true, {}};
    privacy.address6 = IpAddress::Parse("2001:db8::5")->bytes;
    PacketPipeline pipeline(lists, [&] {
        return std::vector<InterfaceAddress>{{"eth0", kBound, Ipv4("255.255.255.0"), false, true},
                                             privacy};
    });
    DatagramBuilder udp;
    udp.protocol = 17;
    udp.sourcePort = 5000;
    udp.destinationPort = 53;
    udp.payload = {'q', 'u', 'e', 'r', 'y'};
    DatagramBuilder echo;
    echo.protocol = 58;
    echo.payload.assign(16, 0x80);
    DatagramBuilder v4 = udp;
    v4.source = kBound;
    v4.destination = kRemote;
    const std::vector<std::vector<std::uint8_t>> datagrams = {
        v4.Build(),
        Ipv6Datagram("2001:db8::5", "2001:db8::53", udp),
        Ipv6Datagram("2001:db8::53", "2001:db8::5", udp),
        Ipv6Datagram("fe80::1", "2001:db8::5", echo),
    };
    for (const auto& datagram : datagrams) {
        ASSERT_TRUE(pipeline.Process(Datagram::Raw(datagram, {0, 0}), kBound));
    }
    // Bound to an IPv6 address, only it sends IPv6; IPv4 goes by the host's addresses.
    ASSERT_TRUE(
        pipeline.Process(Datagram::Raw(datagrams[1], {0, 0}), *IpAddress::Parse("2001:db8::6")));
    ASSERT_TRUE(
        pipeline.Process(Datagram::Raw(datagrams[0], {0, 0}), *IpAddress::Parse("2001:db8::6")));

    std::vector<std::string> lines;
    std::vector<std::uint8_t> preview;
    for (int row = 0; row < lists.packets.rowCount(); ++row) {
        lists.ReadPacket(row, PacketRow::kPreviewBytes, preview,
                         [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> p) {
                             std::string line;
                             for (int column : {0, 2, 3, 4, 5, 6, 7, 8}) {
                                 AppendPacketCellText(stored, p, column, line, lists.addresses);
                                 line += '|';
                             }
                             line += stored.row.sentByThisHost ? "sent" : "received";
                             lines.push_back(line);
                         });
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "1|UDP|10.0.0.2|5000|10.0.0.9|53|5|query|sent",
                         "2|UDP|2001:db8::5|5000|2001:db8::53|53|5|query|sent",
                         "3|UDP|2001:db8::53|5000|2001:db8::5|53|5|query|received",
                         // No ports: the datagram's whole length, 40 + 16.
                         "4|ICMPV6|fe80::1||2001:db8::5||56||received",
                         "5|UDP|2001:db8::5|5000|2001:db8::53|53|5|query|received",
                         "6|UDP|10.0.0.2|5000|10.0.0.9|53|5|query|sent",
                     }));
}

TEST(LocalAddressesTest, TheListIsReadAgainOnlyAfterTheRefreshPeriod) {
    std::vector<InterfaceAddress> interfaces = {
        {"eth0", Ipv4("192.168.1.5"), Ipv4("255.255.255.0"), false, true}};
    int listings = 0;
    LocalAddresses local(
        [&] {
            ++listings;
            return interfaces;
        },
        std::chrono::seconds(1));
    const LocalAddresses::Clock::time_point start{};
    EXPECT_TRUE(local.Contains(Ipv4("192.168.1.5"), start));
    EXPECT_FALSE(local.Contains(Ipv4("192.168.1.6"), start));
    // DHCP hands out a new address: it counts from the next listing on.
    interfaces[0].address = Ipv4("192.168.1.6");
    EXPECT_FALSE(local.Contains(Ipv4("192.168.1.6"), start + std::chrono::milliseconds(999)));
    EXPECT_EQ(listings, 1);
    EXPECT_TRUE(local.Contains(Ipv4("192.168.1.6"), start + std::chrono::seconds(1)));
    EXPECT_FALSE(local.Contains(Ipv4("192.168.1.5"), start + std::chrono::seconds(1)));
    EXPECT_EQ(listings, 2);
}

TEST_F(PacketPipelineTest, FilteredAndOutOfRangeDatagramsLeaveNoTrace) {
    RecordingFilter filter;
    filter.keep = false;
    pipeline_.SetFilter(&filter);
    EXPECT_FALSE(List(Tcp(kRemote, kBound, "GET / HTTP/1.1").Build()));
    pipeline_.SetFilter(nullptr);

    EXPECT_FALSE(List(std::vector<std::uint8_t>(19, 0x45)));
    std::vector<std::uint8_t> huge = Tcp(kRemote, kBound).Build();
    huge.resize(65536, 0);
    EXPECT_FALSE(List(huge));
    EXPECT_EQ(lists_.packets.rowCount(), 0);
    EXPECT_EQ(lists_.requests.rowCount(), 0);
    EXPECT_EQ(lists_.packets.nextSerial(), 1);

    huge.resize(65535);
    EXPECT_TRUE(List(huge));
}

TEST_F(PacketPipelineTest, RequestRowsReferToTheirPacketRow) {
    FixedRecogniser recogniser;
    pipeline_.SetRecogniser(&recogniser);
    ASSERT_TRUE(List(Tcp(kRemote, kBound).Build()));                               // no payload
    ASSERT_TRUE(List(Tcp(kRemote, kBound, std::string("\0GET ", 5)).Build(), 7));  // zero first
    auto request = Tcp(kBound, kRemote, "GET /x.js HTTP/1.1\r\n");
    request.sequence = 4321;
    ASSERT_TRUE(List(request.Build(), 8));
    ASSERT_TRUE(List(Tcp(kRemote, kBound, "HTTP/1.1 200 OK\r\n").Build(), 9));

    // Every payload is offered, a zero first byte too (it may continue a handshake), with the
    // datagram's sequence number and capture time.
    EXPECT_EQ(recogniser.seen.size(), 3U);
    EXPECT_EQ(recogniser.sequences, (std::vector<std::uint32_t>{1000, 4321, 1000}));
    EXPECT_EQ(recogniser.times, (std::vector<std::int64_t>{7, 8, 9}));
    // A later fragment carries on a payload from its middle: it is listed, not offered.
    auto later = Tcp(kBound, kRemote, "GET /later HTTP/1.1\r\n").Build();
    later[7] = 0x10;  // fragment offset 16 bytes
    ASSERT_TRUE(List(later));
    EXPECT_EQ(recogniser.seen.size(), 3U);
    ASSERT_EQ(lists_.requests.rowCount(), 1);
    lists_.requests.ReadRow(0, [&](const StoredRow<HttpRow>& stored) {
        EXPECT_EQ(stored.row.packetRow, 2);
        EXPECT_EQ(stored.row.method, "GET");
        EXPECT_EQ(stored.row.url, "http://h/x.js");
        EXPECT_EQ(stored.serial, 1);
        EXPECT_EQ(stored.colour, 0x00112233U);
    });

    // After a clear the rows start at 0 again while the serials go on.
    (void)lists_.packets.ClearRows();
    (void)lists_.requests.ClearRows();
    ASSERT_TRUE(List(Tcp(kBound, kRemote, "GET /y HTTP/1.1\r\n").Build()));
    lists_.requests.ReadRow(0, [&](const StoredRow<HttpRow>& stored) {
        EXPECT_EQ(stored.row.packetRow, 0);
        EXPECT_EQ(stored.serial, 2);
    });
    EXPECT_EQ(Cell(0, 0), "6");
}

// A batch's packets are listed in groups; every one of them, with its request, must be in the
// lists, told once and in order, by the time the batch's memory is handed back for reuse.
TEST_F(PacketPipelineTest, ABatchIsListedWholeBeforeItsMemoryIsReused) {
    FixedRecogniser recogniser;
    RecordingObserver observer;
    pipeline_.SetRecogniser(&recogniser);
    pipeline_.SetObserver(&observer);
    constexpr int kPackets = 150;
    std::vector<std::vector<std::uint8_t>> batch;
    std::vector<std::string> payloads;
    for (int i = 0; i < kPackets; ++i) {
        payloads.push_back(i % 3 == 0 ? "GET /" + std::to_string(i) + " HTTP/1.1\r\n"
                                      : "data " + std::to_string(i));
        batch.push_back(Tcp(kBound, kRemote, payloads.back()).Build());
    }
    pipeline_.BeginBatch();
    for (const auto& bytes : batch) ASSERT_TRUE(List(bytes));
    pipeline_.SettleBatch();
    for (auto& bytes : batch) std::fill(bytes.begin(), bytes.end(), 0xEE);

    ASSERT_EQ(lists_.packets.rowCount(), kPackets);
    ASSERT_EQ(lists_.requests.rowCount(), kPackets / 3);
    EXPECT_EQ(observer.packets, Count(kPackets));
    EXPECT_EQ(observer.requests, Count(kPackets / 3));
    for (int row = 0; row < kPackets; ++row) {
        const auto payload = test::PayloadOf(lists_, row);
        EXPECT_EQ(std::string(payload.begin(), payload.end()),
                  payloads[static_cast<std::size_t>(row)]);
    }
    for (int row = 0; row < kPackets / 3; ++row) {
        lists_.requests.ReadRow(row, [&](const StoredRow<HttpRow>& stored) {
            EXPECT_EQ(stored.row.packetRow, row * 3);
        });
    }
}

// The headless mode's packet count: the last packet allowed is told at once, so that capture
// can stop, and nothing after it is looked at, even within the same batch.
TEST_F(PacketPipelineTest, TheListingLimitEndsWithItsLastPacket) {
    RecordingFilter filter;
    RecordingObserver observer;
    pipeline_.SetFilter(&filter);
    pipeline_.SetObserver(&observer);
    pipeline_.SetListingLimit(100);
    const auto bytes = Tcp(kRemote, kBound, "x").Build();
    pipeline_.BeginBatch();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(List(bytes));
    EXPECT_EQ(observer.packets, Count(100));
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(List(bytes));
    pipeline_.SettleBatch();
    EXPECT_EQ(lists_.packets.rowCount(), 100);
    EXPECT_EQ(filter.calls.size(), 100U);
    EXPECT_FALSE(pipeline_.failure().has_value());
}

// A spool that stops taking frames partway through a group: the packets before it are listed
// whole and told, the rest are not, and the failure is there to end capture.
TEST_F(PacketPipelineTest, ASpoolThatFailsWithinAGroupKeepsWhatItListed) {
    RecordingObserver observer;
    pipeline_.SetObserver(&observer);
    std::filesystem::remove(lists_.spool->path());
    const auto bytes = Tcp(kRemote, kBound, std::string(60000, 'd')).Build();
    pipeline_.BeginBatch();
    int accepted = 0;
    while (accepted < 100 && List(bytes)) ++accepted;
    pipeline_.SettleBatch();
    ASSERT_TRUE(pipeline_.failure().has_value());
    EXPECT_NE(pipeline_.failure()->reason.find("was deleted"), std::string::npos);
    const int listed = lists_.packets.rowCount();
    EXPECT_GT(listed, 0);
    EXPECT_LE(listed, accepted);
    EXPECT_EQ(observer.packets, Count(listed));
    for (int row = 0; row < listed; ++row) {
        EXPECT_EQ(test::PayloadOf(lists_, row).size(), 60000U);
    }
}

}  // namespace
TEST_F(PacketPipelineTest, AColourEditTakesEffectAtTheNextBatch) {
    const std::string path = ::testing::TempDir() + "pipeline-colours.ini";
    const auto writeColour = [&](const char* rgb) {
        std::ofstream(path) << "[HighLightExtension]\nExt[0]=" << rgb << ",jpg,\n";
    };
    writeColour("FF0000");
    HttpRecogniser recogniser(path);
    pipeline_.SetRecogniser(&recogniser);
    // A batch's datagrams live until the batch is settled, as the capture's batches do.
    std::vector<std::vector<std::uint8_t>> batch;
    const auto listRequest = [&] {
        batch.push_back(Tcp(kBound, kRemote, "GET /a.jpg HTTP/1.1\r\nHost: h\r\n\r\n").Build());
        ASSERT_TRUE(List(batch.back()));
    };
    pipeline_.BeginBatch();
    listRequest();
    writeColour("FF00");  // green
    listRequest();        // the same batch keeps what it read
    pipeline_.EndBatch();
    pipeline_.BeginBatch();
    listRequest();
    pipeline_.EndBatch();
    ASSERT_EQ(lists_.requests.rowCount(), 3);
    EXPECT_EQ(lists_.requests.GetRowColour(0), 0x000000FFU);
    EXPECT_EQ(lists_.requests.GetRowColour(1), 0x000000FFU);
    EXPECT_EQ(lists_.requests.GetRowColour(2), 0x0000FF00U);
    std::remove(path.c_str());
}

}  // namespace ravelin
