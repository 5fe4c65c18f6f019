#include "engine/CaptureController.h"

#include <gtest/gtest.h>

#include <pcap/dlt.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "capture/linux/PcapFileSource.h"
#include "support/DatagramBuilder.h"
#include "support/FakePacketSource.h"
#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"
#include "support/PcapFileWriter.h"
#include "support/TestSpool.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using test::Ipv4;

// Everything the controller told its front end, in order.
class RecordingListener : public CaptureListener, public ErrorReporter {
public:
    ErrorReporter& reporter() override { return *this; }
    void ShowError(std::string_view text) override { Note("error " + std::string(text)); }
    void OnStateChanged(CaptureState state) override {
        Note(state == CaptureState::kRunning ? "running" : "stopped");
    }
    void OnCleared() override { Note("cleared"); }
    void OnAddressChanged(const IpAddress& address) override {
        Note("address " + std::to_string(address.ipv4()));
    }
    void OnEndReached() override { endReached = true; }
    void OnEnded(bool failed) override { Note(failed ? "ended failed" : "ended"); }

    std::vector<std::string> Take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    std::atomic<bool> endReached{false};

private:
    void Note(std::string event) {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
};

std::vector<std::uint8_t> Datagram(const char* source, std::uint16_t sourcePort) {
    test::DatagramBuilder builder;
    builder.source = Ipv4(source);
    builder.destination = Ipv4("10.0.0.9");
    builder.sourcePort = sourcePort;
    builder.destinationPort = 53;
    builder.protocol = 17;  // UDP
    return builder.Build();
}

class CaptureControllerTest : public ::testing::Test {
protected:
    // Live traffic from the fake script; saved captures read for real. Process 77 owns the
    // live datagrams' socket.
    SystemServices Services() {
        SystemServices services;
        services.spool = test::MakeTestSpool();
        services.packetSources = [script = live_](const IpAddress& address) {
            return std::make_unique<test::FakePacketSource>(script, address);
        };
        services.fileSources = [](const std::string& path) {
            return std::make_unique<PcapFileSource>(path);
        };
        auto processes = std::make_unique<test::FakeProcessSource>();
        processes->AddProcess(77, "dig");
        processes->SetSocketInodes(77, {500});
        auto sockets = std::make_unique<test::FakeSocketTable>();
        sockets->SetUdp({test::FakeSocketTable::Row(500, {Ipv4("10.0.0.2"), 4000, 0, 0})});
        services.lookupSockets = std::move(sockets);
        services.lookupProcesses = std::move(processes);
        services.treeSockets = std::make_unique<test::FakeSocketTable>();
        services.treeProcesses = std::make_unique<test::FakeProcessSource>();
        services.loadOwnerTables = [this](ErrorReporter&) {
            ++tablesLoaded_;
            return true;
        };
        return services;
    }

    // A saved capture of `count` answers to the port that process 77 has open now.
    static std::string SavedCapture(int count) {
        test::DatagramBuilder answer;
        answer.source = Ipv4("10.0.0.9");
        answer.destination = Ipv4("10.0.0.2");
        answer.sourcePort = 53;
        answer.destinationPort = 4000;
        answer.protocol = 17;  // UDP
        std::vector<test::Frame> frames;
        for (int i = 0; i < count; ++i) {
            frames.push_back({test::EthernetFrame(answer.Build()), 1700000000 + i, 0});
        }
        const std::string path = test::TemporaryPath("controller-saved.pcap");
        test::WritePcapFile(path, DLT_EN10MB, frames);
        return path;
    }

    std::shared_ptr<test::FakeSourceScript> live_ = std::make_shared<test::FakeSourceScript>();
    int tablesLoaded_ = 0;
    RecordingListener listener_;
};

TEST_F(CaptureControllerTest, CommandsMoveCaptureBetweenLiveTrafficAndASavedCapture) {
    live_->endAfterDatagrams = false;  // an idle interface
    for (int i = 0; i < 3; ++i) live_->datagrams.push_back(Datagram("10.0.0.2", 4000));
    MonitorOptions options;
    options.countTraffic = true;
    options.lookup = MonitorOptions::OwnerLookup::kAlways;
    options.address = Ipv4("10.0.0.2");
    CaptureController controller(Services(), options, listener_);
    ASSERT_TRUE(controller.Prepare());
    EXPECT_EQ(listener_.Take(),
              (std::vector<std::string>{"address " + std::to_string(Ipv4("10.0.0.2"))}));

    // Live: started and stopped by one command; its packets counted for their owner.
    EXPECT_TRUE(controller.Toggle());
    ASSERT_TRUE(test::WaitUntil([&] { return controller.lists().packets.rowCount() == 3; }));
    EXPECT_FALSE(controller.Toggle());
    EXPECT_EQ(controller.monitor().counters().Snapshot().size(), 1U);

    // A saved capture replaces the lists and the counts, on 0.0.0.0, and ends by itself.
    const std::string saved = SavedCapture(4);
    EXPECT_TRUE(controller.OpenFile(saved));
    EXPECT_EQ(listener_.Take(),
              (std::vector<std::string>{"running", "stopped", "cleared", "address 0", "running"}));
    ASSERT_TRUE(test::WaitUntil([&] { return listener_.endReached.load(); }));
    controller.FinishEnded();
    EXPECT_EQ(listener_.Take(), (std::vector<std::string>{"stopped", "ended"}));
    EXPECT_EQ(controller.lists().packets.rowCount(), 4);
    EXPECT_EQ(controller.lists().packets.nextSerial(), 8);  // the numbering goes on
    EXPECT_TRUE(controller.monitor().showingOpenedCapture());
    // The file's packets were sent before, or elsewhere: the socket open on their port now
    // does not make them process 77's.
    const auto replayedCounts = controller.monitor().counters().Snapshot();
    ASSERT_EQ(replayedCounts.size(), 1U);
    EXPECT_EQ(replayedCounts[0].pid, -1);
    EXPECT_EQ(replayedCounts[0].sent.packets + replayedCounts[0].received.packets, 4U);

    // A new selection lists the file again; live traffic would simply go on.
    controller.Relist();
    ASSERT_TRUE(test::WaitUntil([&] { return controller.lists().packets.rowCount() == 4; }));
    EXPECT_EQ(live_->sourcesCreated.load(), 1);

    // An address returns to live capture, which continues there if it ran.
    EXPECT_TRUE(controller.Start());
    controller.Rebind(Ipv4("127.0.0.1"));
    EXPECT_FALSE(controller.monitor().showingOpenedCapture());
    EXPECT_FALSE(controller.running());
    EXPECT_TRUE(controller.Start());
    EXPECT_EQ(live_->lastBoundAddress.load(), Ipv4("127.0.0.1"));
    const int readsBefore = live_->reads.load();
    controller.Rebind(Ipv4("10.0.0.2"));
    EXPECT_TRUE(controller.running());
    EXPECT_EQ(live_->sourcesCreated.load(), 3);

    // Clearing while capture goes on empties the lists and the counts. The new source hands
    // over its datagrams at its first read, then waits 200 ms a read; the old one read at most
    // twice. Five reads on, a whole idle read has passed since the datagrams were handed over,
    // they were listed long ago, and none comes after the clear.
    ASSERT_TRUE(test::WaitUntil([&] { return live_->reads.load() >= readsBefore + 5; }));
    // Back on live traffic, owners are looked up again.
    const auto liveCounts = controller.monitor().counters().Snapshot();
    EXPECT_TRUE(std::ranges::any_of(liveCounts, [](const auto& count) { return count.pid == 77; }));
    listener_.Take();
    controller.Clear();
    EXPECT_EQ(listener_.Take(), (std::vector<std::string>{"cleared"}));
    EXPECT_TRUE(controller.running());
    EXPECT_EQ(controller.monitor().counters().Snapshot().size(), 0U);
}

TEST_F(CaptureControllerTest, AFailedStartOrReadIsReportedAndLeavesCaptureStopped) {
    live_->bindResult = -1;
    CaptureController controller(Services(), MonitorOptions(), listener_);
    ASSERT_TRUE(controller.Prepare());
    EXPECT_FALSE(controller.Toggle());
    std::vector<std::string> events = listener_.Take();
    ASSERT_EQ(events.size(), 1U);  // no state: capture never ran
    EXPECT_TRUE(events[0].starts_with("error "));

    live_->bindResult = 0;
    live_->datagrams.push_back(Datagram("10.0.0.2", 4000));
    live_->readFailure = SystemError{-1, "truncated dump file"};
    EXPECT_TRUE(controller.Start());
    ASSERT_TRUE(test::WaitUntil([&] { return listener_.endReached.load(); }));
    controller.FinishEnded();
    EXPECT_EQ(listener_.Take(),
              (std::vector<std::string>{
                  "running", "error recv 接收包失败\nError code: -1\ntruncated dump file",
                  "stopped", "ended failed"}));
    EXPECT_EQ(controller.lists().packets.rowCount(), 1);
}

TEST_F(CaptureControllerTest, OwnersAreFoundOnlyWhereTheOptionsNeedThem) {
    MonitorOptions options;
    options.findOwners = false;
    CaptureController quiet(Services(), options, listener_);
    EXPECT_TRUE(quiet.Prepare());
    EXPECT_EQ(tablesLoaded_, 0);
    EXPECT_EQ(quiet.monitor().attributionMode(), "");

    // Events that were asked for and cannot run end the start-up, saying why.
    options.findOwners = true;
    options.attribution = AttributionChoice::kEvents;
    CaptureController events(Services(), options, listener_);
    EXPECT_FALSE(events.Prepare());
    EXPECT_EQ(tablesLoaded_, 1);
    EXPECT_EQ(listener_.Take(),
              (std::vector<std::string>{"error kernel socket events cannot run: not available on "
                                        "this system"}));
}

}  // namespace
}  // namespace ravelin
