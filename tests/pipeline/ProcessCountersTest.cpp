#include "pipeline/ProcessCounters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pipeline/PacketPipeline.h"
#include "support/DatagramBuilder.h"
#include "support/TestSpool.h"

namespace ravelin {
namespace {

using namespace std::chrono_literals;
using test::DatagramBuilder;
using test::Ipv4;

class ProcessCountersTest : public ::testing::Test {
protected:
    ProcessTraffic Of(int pid) {
        const auto snapshot = counters_.Snapshot();
        const auto found = std::find_if(snapshot.begin(), snapshot.end(),
                                        [&](const ProcessTraffic& t) { return t.pid == pid; });
        if (found == snapshot.end()) {
            ADD_FAILURE() << "no counters for " << pid;
            return {};
        }
        return *found;
    }

    ProcessCounters::Clock::time_point now_{100s};
    ProcessCounters counters_{[this] { return now_; }};
    TrafficTally tally_;
};

TEST_F(ProcessCountersTest, SplitsSentFromReceivedPerProcess) {
    tally_.Count(10, "curl", true, 60);
    tally_.Count(10, "curl", false, 1500);
    tally_.Count(20, "sshd", false, 100);
    tally_.Count(10, "curl", false, 1500);
    counters_.Merge(tally_);
    tally_.Count(10, "", true, 40);  // a decision without the name keeps the one known
    counters_.Merge(tally_);

    EXPECT_EQ(counters_.Snapshot().size(), 2U);
    const ProcessTraffic curl = Of(10);
    EXPECT_EQ(curl.name, "curl");
    EXPECT_EQ(curl.sent, (TrafficCount{2, 100}));
    EXPECT_EQ(curl.received, (TrafficCount{2, 3000}));
    const ProcessTraffic sshd = Of(20);
    EXPECT_EQ(sshd.sent, (TrafficCount{0, 0}));
    EXPECT_EQ(sshd.received, (TrafficCount{1, 100}));
}

TEST_F(ProcessCountersTest, ATallyIsEmptiedByTheMergeAndAddsOnlyOnce) {
    tally_.Count(10, "curl", true, 60);
    counters_.Merge(tally_);
    EXPECT_TRUE(tally_.empty());
    counters_.Merge(tally_);
    tally_.Count(11, "wget", true, 70);  // a reused entry must not keep the old process's counts
    counters_.Merge(tally_);
    EXPECT_EQ(Of(10).sent, (TrafficCount{1, 60}));
    EXPECT_EQ(Of(11).sent, (TrafficCount{1, 70}));
    EXPECT_EQ(Of(11).name, "wget");
}

TEST_F(ProcessCountersTest, ANewNameForThePidReplacesTheOld) {
    tally_.Count(10, "bash", true, 1);
    counters_.Merge(tally_);
    tally_.Count(10, "curl", true, 1);  // the pid was reused, or the process ran another image
    counters_.Merge(tally_);
    EXPECT_EQ(Of(10).name, "curl");
}

TEST_F(ProcessCountersTest, RatesCoverTheLastTwoSeconds) {
    tally_.Count(10, "curl", true, 3000);
    tally_.Count(10, "curl", false, 1000);
    counters_.Merge(tally_);
    EXPECT_DOUBLE_EQ(Of(10).sentPerSecond, 1500);
    EXPECT_DOUBLE_EQ(Of(10).receivedPerSecond, 500);

    now_ += 1s;
    tally_.Count(10, "curl", true, 1000);
    counters_.Merge(tally_);
    EXPECT_DOUBLE_EQ(Of(10).sentPerSecond, 2000);

    now_ += 1s;  // the first merge is two seconds old: out of the window
    EXPECT_DOUBLE_EQ(Of(10).sentPerSecond, 500);
    EXPECT_DOUBLE_EQ(Of(10).receivedPerSecond, 0);
    now_ += 10s;  // a slot from rounds ago must not come back
    EXPECT_DOUBLE_EQ(Of(10).sentPerSecond, 0);
    tally_.Count(10, "curl", true, 200);
    counters_.Merge(tally_);
    EXPECT_DOUBLE_EQ(Of(10).sentPerSecond, 100);
    EXPECT_EQ(Of(10).sent, (TrafficCount{3, 4200}));  // totals keep everything
}

TEST_F(ProcessCountersTest, ResetForgetsEveryProcess) {
    tally_.Count(10, "curl", true, 3000);
    counters_.Merge(tally_);
    counters_.Reset();
    EXPECT_TRUE(counters_.Snapshot().empty());
    tally_.Count(10, "curl", true, 5);
    counters_.Merge(tally_);
    EXPECT_EQ(Of(10).sent, (TrafficCount{1, 5}));
    EXPECT_DOUBLE_EQ(Of(10).sentPerSecond, 2.5);
}

TEST_F(ProcessCountersTest, ALargeTallyAsksToBeHandedOver) {
    bool handOver = false;
    int counted = 0;
    while (!handOver && counted < 100000) {
        handOver = tally_.Count(10, "curl", true, 1);
        ++counted;
    }
    EXPECT_TRUE(handOver);
    EXPECT_LT(counted, 100000);
    tally_ = {};
    handOver = false;
    for (int pid = 1; pid <= 1000 && !handOver; ++pid) handOver = tally_.Count(pid, "p", true, 1);
    EXPECT_TRUE(handOver);  // many processes: the search per packet stays short
}

// The pipeline counts every packet, listed or dropped by the filter, for the owner the filter
// found, and ownerless traffic for the root; readers see it once the batch has ended.
class OwnerFilter : public PacketFilter {
public:
    FilterDecision Keep(const DecodedDatagram& packet, std::uint16_t localPort, bool,
                        const RecordedOwner&) override {
        if (packet.transport == Transport::kNone) return {true, kNoOwner, {}};
        if (localPort == 40000) return {true, 10, "curl"};
        return {false, 20, "sshd"};  // traffic of an unticked process
    }
};

// A pipeline into lists over a test spool that counts each packet for the owner `filter` names.
struct CountingPipeline {
    explicit CountingPipeline(PacketFilter& filter) {
        pipeline.SetFilter(&filter);
        pipeline.SetCounters(&counters);
    }
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline{lists};
    ProcessCounters counters;
};

TEST(PipelineCountingTest, CountsListedAndDroppedPacketsByDirection) {
    const std::uint32_t bound = Ipv4("10.0.0.2");
    const std::uint32_t remote = Ipv4("10.0.0.9");
    OwnerFilter filter;
    CountingPipeline counting(filter);
    auto& [lists, pipeline, counters] = counting;
    const auto tcp = [&](bool sent, std::uint16_t localPort, std::size_t payload) {
        DatagramBuilder builder;
        builder.protocol = 6;
        builder.source = sent ? bound : remote;
        builder.destination = sent ? remote : bound;
        builder.sourcePort = sent ? localPort : 80;
        builder.destinationPort = sent ? 80 : localPort;
        builder.payload.assign(payload, 'x');
        return pipeline.Process(Datagram::Raw(builder.Build(), {0, 0}), bound);
    };
    EXPECT_TRUE(tcp(true, 40000, 100));  // 40 bytes of headers
    EXPECT_TRUE(tcp(false, 40000, 1000));
    EXPECT_TRUE(tcp(false, 40000, 0));
    EXPECT_FALSE(tcp(true, 22, 10));
    DatagramBuilder icmp;
    icmp.protocol = 1;
    icmp.source = remote;
    icmp.destination = bound;
    icmp.payload.assign(40, 0x08);
    EXPECT_TRUE(pipeline.Process(Datagram::Raw(icmp.Build(), {0, 0}), bound));
    pipeline.EndBatch();

    std::vector<ProcessTraffic> snapshot = counters.Snapshot();
    std::sort(snapshot.begin(), snapshot.end(),
              [](const auto& a, const auto& b) { return a.pid < b.pid; });
    ASSERT_EQ(snapshot.size(), 3U);
    EXPECT_EQ(snapshot[0].pid, kNoOwner);
    EXPECT_EQ(snapshot[0].received, (TrafficCount{1, 60}));
    EXPECT_EQ(snapshot[1].pid, 10);
    EXPECT_EQ(snapshot[1].name, "curl");
    EXPECT_EQ(snapshot[1].sent, (TrafficCount{1, 140}));
    EXPECT_EQ(snapshot[1].received, (TrafficCount{2, 1080}));
    EXPECT_EQ(snapshot[2].pid, 20);
    EXPECT_EQ(snapshot[2].name, "sshd");
    EXPECT_EQ(snapshot[2].sent, (TrafficCount{1, 50}));
    EXPECT_EQ(lists.packets.rowCount(), 4);
}

// More owners than a tally holds before it hands itself over, in short interleaved runs as a
// busy host's flows come, with a batch ending every 2000 datagrams, as the capture session's do
// while its queue stays full: every hand-over, mid-batch or at its end, keeps each process's
// counts whole.
class PortOwnerFilter : public PacketFilter {
public:
    static constexpr int kOwners = 100;
    static constexpr std::uint16_t kFirstPort = 41000;
    static constexpr int kFirstPid = 1000;

    PortOwnerFilter() {
        for (int owner = 0; owner < kOwners; ++owner) {
            names_.push_back("process" + std::to_string(owner));
        }
    }
    FilterDecision Keep(const DecodedDatagram&, std::uint16_t localPort, bool,
                        const RecordedOwner&) override {
        const int owner = localPort - kFirstPort;
        return {true, kFirstPid + owner, names_[static_cast<std::size_t>(owner)]};
    }
    const std::string& NameOf(int pid) const {
        return names_[static_cast<std::size_t>(pid - kFirstPid)];
    }

private:
    std::vector<std::string> names_;
};

TEST(PipelineCountingTest, ManyOwnersInInterleavedRunsAreCountedWhole) {
    const std::uint32_t bound = Ipv4("10.0.0.2");
    const std::uint32_t remote = Ipv4("10.0.0.9");
    PortOwnerFilter filter;
    CountingPipeline counting(filter);
    PacketPipeline& pipeline = counting.pipeline;

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pickOwner(0, PortOwnerFilter::kOwners - 1);
    std::uniform_int_distribution<int> pickRun(1, 16);
    std::uniform_int_distribution<int> pickPayload(0, 1400);
    std::bernoulli_distribution pickSent(0.4);
    std::map<int, std::pair<TrafficCount, TrafficCount>> expected;  // sent, received
    int inBatch = 0;
    for (int datagrams = 0; datagrams < 6000;) {
        const int owner = pickOwner(random);
        const auto localPort = static_cast<std::uint16_t>(PortOwnerFilter::kFirstPort + owner);
        for (int run = pickRun(random); run > 0; --run, ++datagrams) {
            const bool sent = pickSent(random);
            DatagramBuilder builder;
            builder.protocol = (datagrams % 3 == 0) ? 17 : 6;
            builder.source = sent ? bound : remote;
            builder.destination = sent ? remote : bound;
            builder.sourcePort = sent ? localPort : 443;
            builder.destinationPort = sent ? 443 : localPort;
            builder.payload.assign(static_cast<std::size_t>(pickPayload(random)), 'x');
            const std::vector<std::uint8_t> datagram = builder.Build();
            ASSERT_TRUE(pipeline.Process(Datagram::Raw(datagram, {0, 0}), bound));
            auto& [sentCount, receivedCount] = expected[PortOwnerFilter::kFirstPid + owner];
            TrafficCount& side = sent ? sentCount : receivedCount;
            ++side.packets;
            side.bytes += datagram.size();
            if (++inBatch == 2000) {
                pipeline.EndBatch();
                inBatch = 0;
            }
        }
    }
    pipeline.EndBatch();

    const std::vector<ProcessTraffic> snapshot = counting.counters.Snapshot();
    ASSERT_EQ(snapshot.size(), expected.size());
    for (const ProcessTraffic& traffic : snapshot) {
        const auto found = expected.find(traffic.pid);
        ASSERT_NE(found, expected.end()) << traffic.pid;
        EXPECT_EQ(traffic.name, filter.NameOf(traffic.pid));
        EXPECT_EQ(traffic.sent, found->second.first) << traffic.pid;
        EXPECT_EQ(traffic.received, found->second.second) << traffic.pid;
    }
}

}  // namespace
}  // namespace ravelin
