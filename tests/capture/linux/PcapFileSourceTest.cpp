#include "capture/linux/PcapFileSource.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/PcapngFormat.h"
#include "support/ChildProcess.h"
#include "support/DatagramBuilder.h"
#include "support/PcapFileWriter.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ReadResult = PacketSource::ReadResult;
using namespace ravelin::test;

struct Received {
    Bytes bytes;
    std::int64_t seconds;
    std::int32_t microseconds;
    Bytes frame;
    int linkType;
    std::uint32_t originalLength;
    int ownerPid;
    std::string ownerName;
};

struct ReadOutcome {
    std::vector<Received> datagrams;
    ReadResult last = ReadResult::kData;
    int dataReads = 0;
};

Bytes MakeDatagram(std::uint8_t protocol, std::size_t payloadBytes) {
    DatagramBuilder builder;
    builder.protocol = protocol;
    builder.source = Ipv4("127.0.0.2");
    builder.destination = Ipv4("127.0.0.1");
    builder.sourcePort = 40000;
    builder.destinationPort = 80;
    for (std::size_t i = 0; i < payloadBytes; ++i) {
        builder.payload.push_back(static_cast<std::uint8_t>(i * 7 + protocol));
    }
    return builder.Build();
}

// A TCP request, a UDP datagram, an ICMP-like datagram and a bare ACK short enough to need
// Ethernet padding; the time stamps probe both ends of the microsecond range.
std::vector<Frame> SampleDatagrams() {
    return {{MakeDatagram(6, 18), 1700000000, 0},
            {MakeDatagram(17, 12), 1700000000, 999999},
            {MakeDatagram(1, 8), 1700000001, 5},
            {MakeDatagram(6, 0), 1999999999, 123456}};
}

// A packet of a pcapng file written with Ravelin's own writer.
struct NgPacket {
    std::uint32_t interfaceId;
    Bytes frame;
    std::uint32_t originalLength;
    CaptureTime time;
    std::string comment;
};

struct NgFile {
    Bytes bytes;
    std::vector<std::size_t> blockEnds;  // where the file may end cleanly
};

NgFile MakePcapng(const std::vector<int>& linkTypes, const std::vector<NgPacket>& packets) {
    NgFile file;
    pcapng::AppendSectionHeader(file.bytes, "Ravelin tests");
    file.blockEnds.push_back(file.bytes.size());
    for (const int linkType : linkTypes) {
        pcapng::AppendInterfaceDescription(file.bytes, linkType, 262144);
        file.blockEnds.push_back(file.bytes.size());
    }
    for (const NgPacket& packet : packets) {
        pcapng::AppendEnhancedPacket(file.bytes, packet.interfaceId, packet.time, packet.frame,
                                     packet.originalLength, packet.comment);
        file.blockEnds.push_back(file.bytes.size());
    }
    return file;
}

// Runs a tool to its end and returns the lines it printed; nothing when it is not installed.
std::optional<std::vector<std::string>> RunTool(const std::vector<std::string>& arguments) {
    ChildProcess child(arguments);
    if (child.pid() < 0) return std::nullopt;
    child.CloseInput();
    std::vector<std::string> lines;
    while (auto line = child.ReadLine(std::chrono::seconds(60))) lines.push_back(*line);
    EXPECT_TRUE(child.WaitForExit(test::kDeadline)) << arguments[0];
    return lines;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

class PcapFileSourceTest : public testing::Test {
protected:
    void TearDown() override {
        for (const auto& path : paths_) std::filesystem::remove(path);
    }

    // A temporary file path that is removed when the test ends.
    std::string Path(const std::string& name) {
        paths_.push_back(TemporaryPath(name));
        return paths_.back();
    }

    std::string Write(const std::string& name, int linkType, const std::vector<Frame>& frames) {
        const std::string path = Path(name);
        WritePcapFile(path, linkType, frames);
        return path;
    }

    std::string WriteBytes(const std::string& name, const Bytes& bytes) {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static void Open(PcapFileSource& source) {
        SCOPED_TRACE("opening the file");
        ASSERT_TRUE(source.Create().succeeded()) << source.lastError().reason;
        ASSERT_TRUE(source.Configure().succeeded()) << source.lastError().reason;
        ASSERT_TRUE(source.Bind().succeeded()) << source.lastError().reason;
        ASSERT_TRUE(source.SetFilter().succeeded()) << source.lastError().reason;
    }

    // Reads the way the receive loop does: one batch, cleared and reused, until not kData.
    static ReadOutcome ReadToTheEnd(PcapFileSource& source, std::size_t maxDatagrams) {
        ReadOutcome outcome;
        DatagramBatch batch;
        for (int reads = 0; reads < 10000; ++reads) {
            batch.Clear();
            outcome.last = source.Read(batch, maxDatagrams);
            EXPECT_LE(batch.size(), maxDatagrams);
            for (std::size_t i = 0; i < batch.size(); ++i) {
                const Datagram d = batch[i];
                outcome.datagrams.push_back(
                    {Bytes(d.bytes.begin(), d.bytes.end()), d.time.seconds, d.time.microseconds,
                     Bytes(d.frame.begin(), d.frame.end()), d.linkType, d.originalLength,
                     d.owner.pid, std::string(d.owner.name)});
            }
            if (outcome.last != ReadResult::kData) return outcome;
            ++outcome.dataReads;
        }
        ADD_FAILURE() << "Read never reached the end of the file";
        return outcome;
    }

    // The datagrams a file gives, read through a source in reads of `maxDatagrams`.
    static ReadOutcome ReadFile(const std::string& path, std::size_t maxDatagrams = 512) {
        PcapFileSource source(path);
        Open(source);
        return ReadToTheEnd(source, maxDatagrams);
    }

    static void ExpectDelivered(const std::vector<Received>& received,
                                const std::vector<Frame>& sent) {
        ASSERT_EQ(received.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(received[i].bytes, sent[i].bytes) << "datagram " << i;
            EXPECT_EQ(received[i].seconds, sent[i].seconds) << "datagram " << i;
            EXPECT_EQ(received[i].microseconds, sent[i].microseconds) << "datagram " << i;
        }
    }

private:
    std::vector<std::string> paths_;
};

TEST_F(PcapFileSourceTest, EverySupportedLinkTypeDeliversItsDatagramsAndTimes) {
    const Bytes ipv6(48, 0x60);
    const struct {
        std::string name;
        int linkType;
        std::function<Bytes(const Bytes&)> frame;
        Bytes notIp;  // a frame that carries no IP datagram, or not the one its link names
    } cases[] = {
        {"ethernet", DLT_EN10MB,
         [](const Bytes& d) {
             Bytes frame = EthernetFrame(d);
             if (frame.size() < 60) frame.resize(60, 0);  // padding must not reach the pipeline
             return frame;
         },
         EthernetFrame(MakeDatagram(6, 4), 0, 0x0806)},
        {"vlan", DLT_EN10MB, [](const Bytes& d) { return EthernetFrame(d, 2); },
         EthernetFrame(MakeDatagram(6, 4), 1, 0x0806)},
        {"sll", DLT_LINUX_SLL, [](const Bytes& d) { return LinuxCookedFrame(d); },
         LinuxCookedFrame(ipv6, 0x0800)},
        {"sll2", DLT_LINUX_SLL2, [](const Bytes& d) { return LinuxCookedV2Frame(d); },
         LinuxCookedV2Frame(MakeDatagram(17, 4), 0x0806)},
        {"null-be", DLT_NULL, [](const Bytes& d) { return BsdLoopbackFrame(d, true); },
         BsdLoopbackFrame(ipv6, true, 23)},
        {"null-le", DLT_NULL, [](const Bytes& d) { return BsdLoopbackFrame(d, false); },
         BsdLoopbackFrame(ipv6, false, 23)},
        {"loop", DLT_LOOP, [](const Bytes& d) { return BsdLoopbackFrame(d, true); },
         BsdLoopbackFrame(ipv6, true, 2)},
        {"raw", DLT_RAW, [](const Bytes& d) { return d; }, Bytes(48, 0x50)},
        {"ipv4", DLT_IPV4, [](const Bytes& d) { return d; }, ipv6},
    };
    const std::vector<Frame> datagrams = SampleDatagrams();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Frame> frames;
        for (const Frame& datagram : datagrams) {
            frames.push_back({c.frame(datagram.bytes), datagram.seconds, datagram.microseconds});
            frames.push_back({c.notIp, datagram.seconds, datagram.microseconds + 1});
        }
        PcapFileSource source(Write(c.name + ".pcap", c.linkType, frames));
        ASSERT_NO_FATAL_FAILURE(Open(source));
        const ReadOutcome outcome = ReadToTheEnd(source, 512);
        EXPECT_EQ(outcome.last, ReadResult::kEnd);
        ExpectDelivered(outcome.datagrams, datagrams);
    }
}

TEST_F(PcapFileSourceTest, SmallReadsDeliverEverythingInOrder) {
    std::vector<Frame> datagrams;
    for (int i = 0; i < 10; ++i) {
        datagrams.push_back({MakeDatagram(i % 2 == 0 ? 6 : 17, 10 + i), 1700000000 + i, i * 1000});
    }
    PcapFileSource source(Write("small-reads.pcap", DLT_RAW, datagrams));
    ASSERT_NO_FATAL_FAILURE(Open(source));
    const ReadOutcome outcome = ReadToTheEnd(source, 3);
    EXPECT_EQ(outcome.last, ReadResult::kEnd);
    EXPECT_GE(outcome.dataReads, 4);
    ExpectDelivered(outcome.datagrams, datagrams);

    DatagramBatch batch;
    EXPECT_EQ(source.Read(batch, 3), ReadResult::kEnd) << "the end stays the end";
    EXPECT_TRUE(batch.empty());
}

TEST_F(PcapFileSourceTest, ReadForNoDatagramsTakesNone) {
    const std::vector<Frame> datagrams = SampleDatagrams();
    PcapFileSource source(Write("zero.pcap", DLT_RAW, datagrams));
    ASSERT_NO_FATAL_FAILURE(Open(source));
    DatagramBatch batch;
    EXPECT_EQ(source.Read(batch, 0), ReadResult::kData);
    EXPECT_TRUE(batch.empty());
    const ReadOutcome outcome = ReadToTheEnd(source, 512);
    EXPECT_EQ(outcome.last, ReadResult::kEnd);
    ExpectDelivered(outcome.datagrams, datagrams);
}

TEST_F(PcapFileSourceTest, HeaderOnlyFileEndsAtOnce) {
    PcapFileSource source(Write("empty.pcap", DLT_EN10MB, {}));
    ASSERT_NO_FATAL_FAILURE(Open(source));
    const ReadOutcome outcome = ReadToTheEnd(source, 512);
    EXPECT_EQ(outcome.last, ReadResult::kEnd);
    EXPECT_EQ(outcome.dataReads, 0);
    EXPECT_TRUE(outcome.datagrams.empty());
}

TEST_F(PcapFileSourceTest, MissingFileFailsToCreate) {
    const std::string path = TemporaryPath("no-such-capture.pcap");
    PcapFileSource source(path);
    EXPECT_FALSE(source.Create().succeeded());
    EXPECT_NE(source.lastError().code, 0);
    EXPECT_NE(source.lastError().reason.find(path), std::string::npos) << source.lastError().reason;
    EXPECT_EQ(source.StepMessage(PacketSource::Step::kCreate),
              "pcap_open_offline 打开抓包文件失败");

    // Should a failed open ever be let pass (its error number is one CheckCall ignores), the
    // later steps fail cleanly instead of using a handle that is not there.
    EXPECT_FALSE(source.Bind().succeeded());
    EXPECT_EQ(source.lastError().code, PCAP_ERROR);
    DatagramBatch batch;
    EXPECT_EQ(source.Read(batch, 8), PacketSource::ReadResult::kError);
}

TEST_F(PcapFileSourceTest, FilesThatAreNoCaptureFailToCreate) {
    std::mt19937 random(7);
    Bytes garbage(4096);
    for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
    garbage[0] = 'R';  // no capture-file magic by chance
    Bytes cutHeader = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0};  // pcap magic, header cut short
    for (const std::string& path :
         {WriteBytes("garbage.pcap", garbage), WriteBytes("cut-header.pcap", cutHeader),
          WriteBytes("zero-bytes.pcap", {})}) {
        PcapFileSource source(path);
        EXPECT_FALSE(source.Create().succeeded()) << path;
        EXPECT_NE(source.lastError().code, 0) << path;
        EXPECT_NE(source.lastError().reason.find(path), std::string::npos)
            << source.lastError().reason;
    }
}

TEST_F(PcapFileSourceTest, UnsupportedLinkTypeFailsToBind) {
    const std::string path = Write("wifi.pcap", DLT_IEEE802_11, {{Bytes(40, 0), 1, 0}});
    PcapFileSource source(path);
    ASSERT_TRUE(source.Create().succeeded()) << source.lastError().reason;
    EXPECT_FALSE(source.Bind().succeeded());
    EXPECT_NE(source.lastError().code, 0);
    EXPECT_NE(source.lastError().reason.find(path), std::string::npos) << source.lastError().reason;
}

TEST_F(PcapFileSourceTest, TruncatedRecordDeliversWhatCameBeforeAndThenFails) {
    const std::vector<Frame> datagrams = SampleDatagrams();
    const std::size_t lastFrame = datagrams.back().bytes.size();
    const std::vector<Frame> complete(datagrams.begin(), datagrams.end() - 1);
    // Cut inside the last record's bytes, and inside its 16-byte record header.
    for (const std::size_t cutOff : {std::size_t{5}, lastFrame + 8}) {
        for (const std::size_t maxDatagrams : {std::size_t{1}, std::size_t{512}}) {
            SCOPED_TRACE(testing::Message() << "cut " << cutOff << ", reads of " << maxDatagrams);
            const std::string path = Write("truncated.pcap", DLT_RAW, datagrams);
            std::filesystem::resize_file(path, std::filesystem::file_size(path) - cutOff);
            PcapFileSource source(path);
            ASSERT_NO_FATAL_FAILURE(Open(source));
            const ReadOutcome outcome = ReadToTheEnd(source, maxDatagrams);
            EXPECT_EQ(outcome.last, ReadResult::kError);
            EXPECT_NE(source.lastError().code, 0);
            EXPECT_NE(source.lastError().reason.find(path), std::string::npos)
                << source.lastError().reason;
            ExpectDelivered(outcome.datagrams, complete);
        }
    }
}

// Raw and Ethernet interfaces in one section, one more of a link type Ravelin cannot read;
// owners, a comment that names none, a frame cut short, Ethernet padding, a frame without IPv4.
std::vector<NgPacket> MixedPackets() {
    const Bytes tcp = MakeDatagram(6, 18);
    const Bytes icmp = MakeDatagram(1, 31);
    Bytes udpFrame = EthernetFrame(MakeDatagram(17, 5));
    udpFrame.resize(60, 0);
    const Bytes arp = EthernetFrame(MakeDatagram(6, 4), 0, 0x0806);
    const Bytes cut(icmp.begin(), icmp.begin() + 30);
    return {{0, tcp, 0, {1700000000, 1}, pcapng::OwnerComment(1234, "curl")},
            {1, udpFrame, 0, {1700000000, 999999}, ""},
            {1, arp, 0, {1700000001, 0}, pcapng::OwnerComment(5, "arping")},
            {2, Bytes(24, 0), 0, {1700000001, 1}, ""},
            {0,
             cut,
             static_cast<std::uint32_t>(icmp.size()),
             {1999999999, 123456},
             pcapng::OwnerComment(77, "my prog with spaces")},
            {0, icmp, 0, {1999999999, 123457}, "just a note"}};
}

const std::vector<int> kMixedLinkTypes = {DLT_RAW, DLT_EN10MB, DLT_IEEE802_11};

TEST_F(PcapFileSourceTest, PcapngWrittenByRavelinReadsAlikeInTsharkAndInRavelin) {
    const std::vector<NgPacket> packets = MixedPackets();
    const std::string path = WriteBytes("mixed.pcapng", MakePcapng(kMixedLinkTypes, packets).bytes);

    const auto lines =
        RunTool({"tshark", "-r", path, "-n", "-T", "fields", "-e", "frame.time_epoch", "-e",
                 "frame.len", "-e", "frame.cap_len", "-e", "frame.comment", "-e", "ip.src"});
    if (!lines) GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh)";
    ASSERT_EQ(lines->size(), packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE((*lines)[i]);
        const NgPacket& sent = packets[i];
        const auto fields = SplitTabs((*lines)[i]);
        ASSERT_EQ(fields.size(), 5U);
        char time[32];
        std::snprintf(time, sizeof time, "%lld.%06d", static_cast<long long>(sent.time.seconds),
                      sent.time.microseconds);
        EXPECT_EQ(fields[0].substr(0, std::strlen(time)), time);
        const std::size_t wire = std::max<std::size_t>(sent.originalLength, sent.frame.size());
        EXPECT_EQ(fields[1], std::to_string(wire));
        EXPECT_EQ(fields[2], std::to_string(sent.frame.size()));
        EXPECT_EQ(fields[3], sent.comment);
        const bool ipv4 = i != 2 && i != 3;
        EXPECT_EQ(fields[4], ipv4 ? "127.0.0.2" : "");
    }

    const ReadOutcome outcome = ReadFile(path, 2);
    EXPECT_EQ(outcome.last, ReadResult::kEnd);
    const struct {
        std::size_t packet;
        int linkType;
        std::size_t datagramOffset;
        int pid;
        std::string name;
    } expected[] = {{0, DLT_RAW, 0, 1234, "curl"},
                    {1, DLT_EN10MB, 14, -1, ""},
                    {4, DLT_RAW, 0, 77, "my prog with spaces"},
                    {5, DLT_RAW, 0, -1, ""}};
    ASSERT_EQ(outcome.datagrams.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const Received& got = outcome.datagrams[i];
        const NgPacket& sent = packets[expected[i].packet];
        EXPECT_EQ(got.frame, sent.frame);
        EXPECT_EQ(got.linkType, expected[i].linkType);
        const Bytes datagram = i == 1 ? MakeDatagram(17, 5) : Bytes(sent.frame);
        EXPECT_EQ(got.bytes, datagram) << "Ethernet padding is cut off";
        EXPECT_EQ(got.originalLength,
                  std::max<std::size_t>(sent.originalLength, sent.frame.size()));
        EXPECT_EQ(got.seconds, sent.time.seconds);
        EXPECT_EQ(got.microseconds, sent.time.microseconds);
        EXPECT_EQ(got.ownerPid, expected[i].pid);
        EXPECT_EQ(got.ownerName, expected[i].name);
    }
}

TEST_F(PcapFileSourceTest, EditcapPcapngWithACommentReadsLikeTheOriginalPcap) {
    std::vector<Frame> frames;
    for (const Frame& datagram : SampleDatagrams()) {
        frames.push_back({EthernetFrame(datagram.bytes), datagram.seconds, datagram.microseconds});
    }
    const std::string pcap = Write("original.pcap", DLT_EN10MB, frames);
    const std::string converted = Path("converted.pcapng");
    const auto output =
        RunTool({"editcap", "-F", "pcapng", "-a", "1:pid=42 name=my prog", pcap, converted});
    if (!output) GTEST_SKIP() << "editcap is not installed (scripts/install-deps.sh)";

    const ReadOutcome original = ReadFile(pcap);
    const ReadOutcome fromPcapng = ReadFile(converted, 3);
    EXPECT_EQ(fromPcapng.last, ReadResult::kEnd);
    ASSERT_EQ(fromPcapng.datagrams.size(), frames.size());
    ASSERT_EQ(original.datagrams.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const Received& a = original.datagrams[i];
        const Received& b = fromPcapng.datagrams[i];
        EXPECT_EQ(b.bytes, a.bytes);
        EXPECT_EQ(b.frame, a.frame);
        EXPECT_EQ(b.linkType, a.linkType);
        EXPECT_EQ(b.originalLength, a.originalLength);
        EXPECT_EQ(b.seconds, a.seconds);
        EXPECT_EQ(b.microseconds, a.microseconds);
        EXPECT_EQ(a.ownerPid, -1);
        EXPECT_EQ(b.ownerPid, i == 0 ? 42 : -1);
        EXPECT_EQ(b.ownerName, i == 0 ? "my prog" : "");
    }
}

TEST_F(PcapFileSourceTest, BigPcapngFilesStreamThroughInSmallReads) {
    // Far more than one read of the file, and one block longer than such a read.
    std::vector<NgPacket> packets;
    for (int i = 0; i < 2000; ++i) {
        packets.push_back({0,
                           MakeDatagram(17, 1000 + i % 7),
                           0,
                           {1700000000 + i, i},
                           pcapng::OwnerComment(i, "p" + std::to_string(i))});
    }
    Bytes jumbo = MakeDatagram(6, 1000);
    jumbo.resize(300000, 0xAB);
    packets.insert(packets.begin() + 1000, {0, jumbo, 0, {1, 2}, ""});
    const std::string path = WriteBytes("big.pcapng", MakePcapng({DLT_RAW}, packets).bytes);

    const ReadOutcome outcome = ReadFile(path, 64);
    EXPECT_EQ(outcome.last, ReadResult::kEnd);
    ASSERT_EQ(outcome.datagrams.size(), packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Received& got = outcome.datagrams[i];
        ASSERT_EQ(got.frame, packets[i].frame) << i;
        ASSERT_EQ(got.microseconds, packets[i].time.microseconds) << i;
        ASSERT_EQ(got.ownerName, i == 1000 ? "" : "p" + std::to_string(got.ownerPid)) << i;
    }
    EXPECT_EQ(outcome.datagrams[1000].bytes.size(), MakeDatagram(6, 1000).size());
}

TEST_F(PcapFileSourceTest, PipesDeliverEveryByteOfPcapAndPcapng) {
    // A named pipe (as from "tcpdump -w - | ..."): the bytes read to tell the format cannot be
    // read again, and libpcap must still see the file from its first byte.
    const std::vector<Frame> datagrams = SampleDatagrams();
    const Bytes pcap = [&] {
        const std::string file = Write("through-pipe.pcap", DLT_RAW, datagrams);
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }();
    std::vector<NgPacket> packets;
    for (const Frame& frame : datagrams) {
        packets.push_back({0, frame.bytes, 0, {frame.seconds, frame.microseconds}, "pid=7 name=x"});
    }
    const Bytes pcapng = MakePcapng({DLT_RAW}, packets).bytes;
    for (const Bytes* file : {&pcap, &pcapng}) {
        SCOPED_TRACE(file == &pcap ? "pcap" : "pcapng");
        const std::string fifo = Path("capture.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
        std::thread writer([&] {
            std::ofstream(fifo, std::ios::binary)
                .write(reinterpret_cast<const char*>(file->data()),
                       static_cast<std::streamsize>(file->size()));
        });
        const ReadOutcome outcome = ReadFile(fifo, 3);
        writer.join();
        std::filesystem::remove(fifo);
        EXPECT_EQ(outcome.last, ReadResult::kEnd);
        ExpectDelivered(outcome.datagrams, datagrams);
        if (file == &pcapng) {
            EXPECT_EQ(outcome.datagrams.front().ownerPid, 7);
        }
    }
}

TEST_F(PcapFileSourceTest, EveryCutOfAPcapngFileEndsCleanlyOrFailsWithItsPath) {
    const NgFile file = MakePcapng(kMixedLinkTypes, MixedPackets());
    const ReadOutcome whole = ReadFile(WriteBytes("whole.pcapng", file.bytes));
    ASSERT_EQ(whole.datagrams.size(), 4U);
    for (std::size_t cut = 0; cut < file.bytes.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        // A new name each time: rewriting one file makes ext4 flush it to disk first.
        const std::string path = WriteBytes("cut-" + std::to_string(cut) + ".pcapng",
                                            Bytes(file.bytes.begin(), file.bytes.begin() + cut));
        PcapFileSource source(path);
        if (cut < file.blockEnds.front()) {
            EXPECT_FALSE(source.Create().succeeded()) << "the section header is not whole";
            EXPECT_NE(source.lastError().reason.find(path), std::string::npos);
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(Open(source));
        const ReadOutcome outcome = ReadToTheEnd(source, 1);
        const bool atBlockEnd =
            std::find(file.blockEnds.begin(), file.blockEnds.end(), cut) != file.blockEnds.end();
        EXPECT_EQ(outcome.last, atBlockEnd ? ReadResult::kEnd : ReadResult::kError);
        if (!atBlockEnd) {
            EXPECT_EQ(source.lastError().reason.rfind(path + ": ", 0), 0U)
                << source.lastError().reason;
            DatagramBatch batch;
            EXPECT_EQ(source.Read(batch, 8), ReadResult::kError) << "an error stays an error";
        }
        ASSERT_LE(outcome.datagrams.size(), whole.datagrams.size());
        for (std::size_t i = 0; i < outcome.datagrams.size(); ++i) {
            EXPECT_EQ(outcome.datagrams[i].frame, whole.datagrams[i].frame);
        }
    }
}

TEST_F(PcapFileSourceTest, GarbageAfterAPcapngSectionHeaderFailsTheRead) {
    for (const unsigned seed : {1U, 2U, 3U}) {
        Bytes bytes;
        pcapng::AppendSectionHeader(bytes, "");
        pcapng::AppendInterfaceDescription(bytes, DLT_RAW, 0);
        std::mt19937 random(seed);
        for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<std::uint8_t>(random()));
        const std::string path = WriteBytes("garbage.pcapng", bytes);
        PcapFileSource source(path);
        ASSERT_NO_FATAL_FAILURE(Open(source));
        const ReadOutcome outcome = ReadToTheEnd(source, 16);
        EXPECT_EQ(outcome.last, ReadResult::kError) << seed;
        EXPECT_NE(source.lastError().reason.find(path), std::string::npos);
    }
}

}  // namespace
}  // namespace ravelin
