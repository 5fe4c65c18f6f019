#include "capture/linux/PcapFileSource.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/DatagramBuilder.h"
#include "support/PcapFileWriter.h"

namespace ravelin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ReadResult = PacketSource::ReadResult;
using namespace ravelin::test;

struct Received {
    Bytes bytes;
    std::int64_t seconds;
    std::int32_t microseconds;
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
                    {Bytes(d.bytes.begin(), d.bytes.end()), d.time.seconds, d.time.microseconds});
            }
            if (outcome.last != ReadResult::kData) return outcome;
            ++outcome.dataReads;
        }
        ADD_FAILURE() << "Read never reached the end of the file";
        return outcome;
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
        Bytes notIpv4;
    } cases[] = {
        {"ethernet", DLT_EN10MB,
         [](const Bytes& d) {
             Bytes frame = EthernetFrame(d);
             if (frame.size() < 60) frame.resize(60, 0);  // padding must not reach the pipeline
             return frame;
         },
         EthernetFrame(MakeDatagram(6, 4), 0, 0x0806)},
        {"vlan", DLT_EN10MB, [](const Bytes& d) { return EthernetFrame(d, 2); },
         EthernetFrame(ipv6, 1, 0x86DD)},
        {"sll", DLT_LINUX_SLL, [](const Bytes& d) { return LinuxCookedFrame(d); },
         LinuxCookedFrame(ipv6, 0x86DD)},
        {"sll2", DLT_LINUX_SLL2, [](const Bytes& d) { return LinuxCookedV2Frame(d); },
         LinuxCookedV2Frame(MakeDatagram(17, 4), 0x0806)},
        {"null-be", DLT_NULL, [](const Bytes& d) { return BsdLoopbackFrame(d, true); },
         BsdLoopbackFrame(ipv6, true, 24)},
        {"null-le", DLT_NULL, [](const Bytes& d) { return BsdLoopbackFrame(d, false); },
         BsdLoopbackFrame(ipv6, false, 30)},
        {"loop", DLT_LOOP, [](const Bytes& d) { return BsdLoopbackFrame(d, true); },
         BsdLoopbackFrame(ipv6, true, 24)},
        {"raw", DLT_RAW, [](const Bytes& d) { return d; }, ipv6},
        {"ipv4", DLT_IPV4, [](const Bytes& d) { return d; }, ipv6},
    };
    const std::vector<Frame> datagrams = SampleDatagrams();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Frame> frames;
        for (const Frame& datagram : datagrams) {
            frames.push_back({c.frame(datagram.bytes), datagram.seconds, datagram.microseconds});
            frames.push_back({c.notIpv4, datagram.seconds, datagram.microseconds + 1});
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

}  // namespace
}  // namespace ravelin
