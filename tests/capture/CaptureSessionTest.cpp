#include "capture/CaptureSession.h"

#include <sys/resource.h>
#include "pipeline/PacketPipeline.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "capture/linux/HelperCaptureSource.h"
#include "support/DatagramBuilder.h"
#include "support/FakePacketSource.h"
#include "support/RecordingHost.h"
#include "support/TestSpool.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using test::DatagramBuilder;
using test::FakePacketSource;
using test::FakeSourceScript;
using test::Ipv4;
using test::RecordingHost;

std::vector<std::uint8_t> NumberedUdpDatagram(std::uint32_t number) {
    DatagramBuilder builder;
    builder.protocol = 17;
    builder.source = Ipv4("10.0.0.2");
    builder.destination = Ipv4("10.0.0.9");
    builder.sourcePort = 5000;
    builder.destinationPort = 53;
    for (int shift = 24; shift >= 0; shift -= 8) {
        builder.payload.push_back(static_cast<std::uint8_t>(number >> shift));
    }
    return builder.Build();
}

std::uint32_t PayloadNumber(const CaptureLists& lists, int row) {
    std::uint32_t number = 0;
    for (std::uint8_t byte : test::PayloadOf(lists, row)) number = (number << 8) | byte;
    return number;
}

class CaptureSessionTest : public ::testing::Test {
protected:
    CaptureSession::SourceFactory FakeFactory() {
        return [script = script_](const IpAddress& address) {
            return std::make_unique<FakePacketSource>(script, address);
        };
    }

    std::shared_ptr<FakeSourceScript> script_ = std::make_shared<FakeSourceScript>();
    RecordingHost host_;
    CaptureLists lists_{test::MakeTestSpool()};
    PacketPipeline pipeline_{lists_};
};

TEST_F(CaptureSessionTest, ListsEveryDatagramInArrivalOrderUnderLoad) {
    constexpr std::uint32_t kDatagrams = 50'000;
    for (std::uint32_t i = 0; i < kDatagrams; ++i)
        script_->datagrams.push_back(NumberedUdpDatagram(i));
    CaptureSession session(host_, pipeline_, FakeFactory());

    ASSERT_TRUE(session.Start());
    EXPECT_EQ(host_.state, CaptureState::kRunning);
    ASSERT_TRUE(host_.WaitForEnd());
    session.FinishEndedCapture();

    EXPECT_TRUE(host_.Errors().empty());
    EXPECT_FALSE(session.running());
    EXPECT_EQ(host_.state, CaptureState::kStopped);
    ASSERT_EQ(lists_.packets.rowCount(), static_cast<int>(kDatagrams));
    int outOfOrder = 0;
    for (int index = 0; index < static_cast<int>(kDatagrams); ++index) {
        if (PayloadNumber(lists_, index) != static_cast<std::uint32_t>(index)) ++outOfOrder;
        lists_.packets.ReadRow(index, [&](const StoredRow<PacketRow>& stored) {
            if (stored.serial != index + 1) ++outOfOrder;
        });
    }
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(script_->sourcesCreated, script_->sourcesDestroyed);
}

struct FailingStep {
    int FakeSourceScript::*result;
    const char* message;
};

class CaptureSessionStepTest : public CaptureSessionTest,
                               public ::testing::WithParamInterface<FailingStep> {};

TEST_P(CaptureSessionStepTest, FailingStepIsReportedAndEverythingOpenedIsClosed) {
    (*script_).*(GetParam().result) = -1;
    CaptureSession session(host_, pipeline_, FakeFactory());

    session.OnStartStop();

    EXPECT_FALSE(session.running());
    EXPECT_EQ(host_.stateChanges, 0);
    ASSERT_EQ(host_.Errors().size(), 1U);
    EXPECT_EQ(host_.Errors()[0],
              std::string(GetParam().message) + "\nError code: 13\nnot permitted");
    EXPECT_EQ(script_->sourcesCreated, 1);
    EXPECT_EQ(script_->sourcesDestroyed, 1);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, CaptureSessionStepTest,
    ::testing::Values(
        FailingStep{&FakeSourceScript::createResult, "socket 创建套接字失败"},
        FailingStep{&FakeSourceScript::configureResult, "setsockopt 设置套接字广播权限失败"},
        FailingStep{&FakeSourceScript::bindResult, "bind 绑定套接字失败"},
        FailingStep{&FakeSourceScript::filterResult, "WSAIoctl 修改SOCK_RAW为SIO_RCVALL失败"}));

TEST_F(CaptureSessionTest, UnsupportedAndInvalidRequestErrorsCountAsSuccess) {
    script_->filterResult = -1;
    script_->stepError = {EOPNOTSUPP, "not supported"};
    script_->endAfterDatagrams = false;
    CaptureSession session(host_, pipeline_, FakeFactory());
    EXPECT_TRUE(session.Start());
    EXPECT_TRUE(session.running());
    EXPECT_TRUE(host_.Errors().empty());

    // Among the steps only the configuration step fails on a result other than its reference.
    session.Stop();
    script_->filterResult = 0;
    script_->configureResult = 1;
    script_->stepError = {1, "odd"};
    EXPECT_FALSE(session.Start());
    EXPECT_EQ(host_.Errors().size(), 1U);
}

TEST_F(CaptureSessionTest, ReceiveFailureListsWhatCameBeforeThenReportsAndStops) {
    for (std::uint32_t i = 0; i < 3; ++i) script_->datagrams.push_back(NumberedUdpDatagram(i));
    script_->readFailure = SystemError{-1, "truncated dump file"};
    CaptureSession session(host_, pipeline_, FakeFactory());

    ASSERT_TRUE(session.Start());
    ASSERT_TRUE(host_.WaitForEnd());
    EXPECT_TRUE(host_.Errors().empty());  // reported on the owner's thread, not before
    EXPECT_EQ(host_.state, CaptureState::kRunning);
    session.FinishEndedCapture();

    EXPECT_EQ(host_.state, CaptureState::kStopped);
    EXPECT_EQ(lists_.packets.rowCount(), 3);
    ASSERT_EQ(host_.Errors().size(), 1U);
    EXPECT_EQ(host_.Errors()[0], "recv 接收包失败\nError code: -1\ntruncated dump file");
    EXPECT_FALSE(session.running());
}

TEST_F(CaptureSessionTest, RepeatedPassedReadErrorsBackOffAndFinallyEndCapture) {
    script_->readFailure = SystemError{EOPNOTSUPP, "not supported"};
    {
        // Waits from 1 ms doubling to 100 ms, not a spinning core: the nine reads wait
        // 1 + 2 + 4 + ... + 64 + 100 ms between them at the least, however fast the machine.
        CaptureSession session(host_, pipeline_, FakeFactory());
        const auto starting = std::chrono::steady_clock::now();
        ASSERT_TRUE(session.Start());
        ASSERT_TRUE(test::WaitUntil([&] { return script_->reads >= 9; }));
        EXPECT_GE(std::chrono::steady_clock::now() - starting, std::chrono::milliseconds(227));
        EXPECT_TRUE(session.running());
        session.Stop();
    }
    {
        // Stop does not wait out a long retry wait: an hour, against the test's deadline.
        CaptureSession session(host_, pipeline_, FakeFactory());
        session.SetPassedErrorRetry({std::chrono::hours(1), std::chrono::hours(1), 100});
        script_->reads = 0;
        ASSERT_TRUE(session.Start());
        while (script_->reads == 0) std::this_thread::yield();
        const auto stopping = std::chrono::steady_clock::now();
        session.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, test::kDeadline);
    }
    EXPECT_TRUE(host_.Errors().empty());

    // After `limit` of them in a row, the error ends capture and is reported after all.
    for (std::uint32_t i = 0; i < 2; ++i) script_->datagrams.push_back(NumberedUdpDatagram(i));
    script_->reads = 0;
    CaptureSession session(host_, pipeline_, FakeFactory());
    session.SetPassedErrorRetry({std::chrono::milliseconds(1), std::chrono::milliseconds(2), 5});
    ASSERT_TRUE(session.Start());
    ASSERT_TRUE(host_.WaitForEnd());
    EXPECT_FALSE(session.FinishEndedCapture());
    EXPECT_EQ(lists_.packets.rowCount(), 2);
    EXPECT_EQ(script_->reads, 1 + 5);  // the datagrams, then five failed reads
    ASSERT_EQ(host_.Errors().size(), 1U);
    EXPECT_EQ(host_.Errors()[0], "recv 接收包失败\nError code: " + std::to_string(EOPNOTSUPP) +
                                     "\nnot supported (5 times in a row)");
}

// Holds the pipeline inside its first packet until the test lets it go.
class GateFilter : public PacketFilter {
public:
    FilterDecision Keep(const DecodedDatagram&, std::uint16_t, bool,
                        const RecordedOwner&) override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        return {};
    }
    void WaitUntilEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return entered_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

TEST_F(CaptureSessionTest, DatagramsStillQueuedWhenCaptureStopsAreDropped) {
    for (std::uint32_t i = 0; i < 100; ++i) script_->datagrams.push_back(NumberedUdpDatagram(i));
    script_->endAfterDatagrams = false;
    GateFilter gate;
    pipeline_.SetFilter(&gate);
    CaptureSession session(host_, pipeline_, FakeFactory());
    ASSERT_TRUE(session.Start());
    gate.WaitUntilEntered();

    std::thread stopper([&] { session.Stop(); });
    while (session.running()) std::this_thread::yield();
    gate.Open();
    stopper.join();

    // Only the packet that was already being listed got its row.
    EXPECT_EQ(lists_.packets.rowCount(), 1);
    EXPECT_TRUE(host_.Errors().empty());
}

// Notes the nice value of the thread that lists.
class NiceNotingFilter : public PacketFilter {
public:
    FilterDecision Keep(const DecodedDatagram&, std::uint16_t, bool,
                        const RecordedOwner&) override {
        listerNice = getpriority(PRIO_PROCESS, 0);
        return {true, kNoOwner, {}};
    }
    std::atomic<int> listerNice{0};
};

// A file asked to give way is read and listed at the lowest priority; live capture, which
// cannot wait, and a file not asked to keep the process's priority.
TEST_F(CaptureSessionTest, OnlyAReplayAskedToGiveWayRunsAtTheLowestPriority) {
    script_->datagrams.push_back(NumberedUdpDatagram(1));
    NiceNotingFilter filter;
    pipeline_.SetFilter(&filter);
    const int ownNice = getpriority(PRIO_PROCESS, 0);
    struct Case {
        bool yield;
        bool file;
        int expected;
    };
    for (const Case& run :
         {Case{true, true, 19}, Case{true, false, ownNice}, Case{false, true, ownNice}}) {
        script_->canWait = run.file;
        CaptureSession session(host_, pipeline_, FakeFactory());
        session.SetYieldWhileReplaying(run.yield);
        ASSERT_TRUE(session.Start());
        ASSERT_TRUE(host_.WaitForEnd());
        session.FinishEndedCapture();
        EXPECT_EQ(script_->readerNice.load(), run.expected) << run.yield << run.file;
        EXPECT_EQ(filter.listerNice.load(), run.expected) << run.yield << run.file;
    }
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), ownNice);  // the caller's own thread is left alone
}

TEST_F(CaptureSessionTest, QueueOfLargeDatagramsIsBoundedByItsMemory) {
    // 60 KiB datagrams as fast as they can be read, while the pipeline is held at its first.
    DatagramBuilder builder;
    builder.protocol = 17;
    builder.payload.assign(60 * 1024, 'x');
    const std::vector<std::uint8_t> datagram = builder.Build();
    script_->datagrams.push_back(datagram);
    script_->repeatDatagrams = true;
    GateFilter gate;
    pipeline_.SetFilter(&gate);
    CaptureSession session(host_, pipeline_, FakeFactory());
    ASSERT_TRUE(session.Start());
    gate.WaitUntilEntered();

    // The receive thread stops once the queue is full; by batch count alone it would read
    // 64 batches of 512 datagrams, near 2 GiB.
    const std::size_t limit = CaptureSession::kQueuedBytes + 4 * CaptureSession::kBatchBytes +
                              CaptureSession::kBatchDatagrams * datagram.size();
    // It fills up first, however long the receive thread takes to get there; then it must
    // stop short of the limit, which only a quiet spell can show.
    ASSERT_TRUE(test::WaitUntil([&] {
        return script_->datagramsRead * datagram.size() >= CaptureSession::kQueuedBytes / 2;
    }));
    std::size_t read = 0;
    for (int quiet = 0; quiet < 20 && read * datagram.size() <= limit;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::size_t now = script_->datagramsRead;
        quiet = now == read ? quiet + 1 : 0;
        read = now;
    }
    EXPECT_LE(read * datagram.size(), limit);

    gate.Open();
    session.Stop();
}

TEST(DatagramQueueTest, PushWaitsWhileTheQueuedBatchesHoldTheirMemoryLimit) {
    const std::vector<std::uint8_t> large(65535, 3);
    auto Batch = [&] {
        auto batch = std::make_unique<DatagramBatch>();
        for (int i = 0; i < 16; ++i) batch->Add(large, {});
        return batch;
    };
    const std::size_t batchBytes = Batch()->memoryBytes();
    DatagramQueue queue(64, 3 * batchBytes);
    std::atomic<int> pushed{0};
    std::thread producer([&] {
        while (queue.Push(Batch())) pushed++;
    });
    while (pushed < 3) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(pushed, 3);  // the fourth waits
    EXPECT_EQ(queue.QueuedBytes(), 3 * batchBytes);
    // The producer is woken once the queue has drained to half, not at every batch taken.
    EXPECT_NE(queue.Pop(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pushed, 3);
    EXPECT_NE(queue.Pop(), nullptr);
    while (pushed < 4) std::this_thread::yield();
    queue.Cancel();
    producer.join();
    EXPECT_EQ(queue.QueuedBytes(), 0U);
}

TEST(DatagramQueueTest, ABatchThatGrewLargeIsFreedNotReused) {
    DatagramQueue queue(4, std::size_t{64} << 20);
    auto small = queue.TakeEmpty();
    const std::vector<std::uint8_t> bytes(1000, 1);
    small->Add(bytes, {});
    DatagramBatch* smallAddress = small.get();
    queue.GiveBack(std::move(small));
    auto reused = queue.TakeEmpty();
    EXPECT_EQ(reused.get(), smallAddress);
    EXPECT_TRUE(reused->empty());

    const std::vector<std::uint8_t> large(65535, 2);
    for (int i = 0; i < 100; ++i) reused->Add(large, {});
    ASSERT_GT(reused->memoryBytes(), DatagramQueue::kReusableBatchBytes);
    queue.GiveBack(std::move(reused));
    EXPECT_EQ(queue.TakeEmpty()->memoryBytes(), 0U);  // a new one
}

bool IsRoot() {
    return geteuid() == 0;
}

// Live capture goes through the capture helper built beside the tests.
std::unique_ptr<PacketSource> LiveSource(const IpAddress& address) {
    return std::make_unique<HelperCaptureSource>(address, RAVELIN_CAPTURE_HELPER_PATH,
                                                 HelperAttribution::kNone, nullptr);
}

TEST(LiveCaptureTest, AddressThatNoInterfaceHasFailsAtBind) {
    if (!IsRoot()) GTEST_SKIP() << "live capture needs CAP_NET_RAW";
    RecordingHost host;
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline(lists);
    CaptureSession session(host, pipeline,
                           [](const IpAddress& address) { return LiveSource(address); });
    session.OnAddressChosen(Ipv4("192.0.2.77"));  // documentation range: on no interface
    EXPECT_FALSE(session.Start());
    ASSERT_EQ(host.Errors().size(), 1U);
    EXPECT_EQ(host.Errors()[0].rfind("bind 绑定套接字失败\nError code: 99\n", 0), 0U)
        << host.Errors()[0];
}

TEST(LiveCaptureTest, CapturesLoopbackTrafficOfThisProcess) {
    if (!IsRoot()) GTEST_SKIP() << "live capture needs CAP_NET_RAW";
    RecordingHost host;
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline(lists);
    CaptureSession session(host, pipeline,
                           [](const IpAddress& address) { return LiveSource(address); });
    session.OnAddressChosen(Ipv4("127.0.0.1"));
    ASSERT_TRUE(session.Start()) << (host.Errors().empty() ? "" : host.Errors()[0]);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Ipv4("127.0.0.1");
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);

    const std::string message = "hello ravelin";
    const auto deadline = std::chrono::steady_clock::now() + test::kDeadline;
    bool seen = false;
    std::vector<std::uint8_t> payload;
    // Capture may need a moment to attach, so send until the payload shows up.
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const int accepted = accept(listener, nullptr, nullptr);
        ASSERT_EQ(send(client, message.data(), message.size(), 0),
                  static_cast<ssize_t>(message.size()));
        close(client);
        close(accepted);
        for (int tries = 0; tries < 50 && !seen; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (int index = 0; index < lists.packets.rowCount() && !seen; ++index) {
                lists.ReadPacket(
                    index, kWholePayload, payload,
                    [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> bytes) {
                        seen = std::string(bytes.begin(), bytes.end()) == message &&
                               stored.row.destinationPort == port && stored.colour == kSentColour;
                    });
            }
        }
    }
    close(listener);
    session.Stop();
    EXPECT_TRUE(seen);
    EXPECT_TRUE(host.Errors().empty());
}

}  // namespace
}  // namespace ravelin

namespace ravelin {
namespace {

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// A device that goes away while capture runs: the read fails, the failure is reported once
// with its reason, and the session stops without hanging.
TEST(LiveCaptureTest, ADeviceThatDisappearsEndsCaptureWithAMessage) {
    if (geteuid() != 0 || Shell("ip -V") != 0) GTEST_SKIP() << "needs root and iproute2";
    const std::string pid = std::to_string(getpid());
    const std::string device = "rvt" + pid;
    const std::string peer = "rvp" + pid;
    const std::string space = "ravelin-test-" + pid;
    // The peer lives in a namespace of the test's own; no traffic leaves this host.
    ASSERT_EQ(Shell("ip netns add " + space), 0);
    const bool created =
        Shell("ip link add " + device + " type veth peer name " + peer + " netns " + space) == 0 &&
        Shell("ip addr add 198.18.77.1/30 dev " + device) == 0 &&
        Shell("ip link set " + device + " up") == 0;
    RecordingHost host;
    CaptureLists lists{test::MakeTestSpool()};
    PacketPipeline pipeline(lists);
    {
        CaptureSession session(host, pipeline,
                               [](const IpAddress& address) { return LiveSource(address); });
        if (created) {
            session.OnAddressChosen(test::Ipv4("198.18.77.1"));
            EXPECT_TRUE(session.Start()) << (host.Errors().empty() ? "" : host.Errors()[0]);
            Shell("ip link del " + device);
            EXPECT_TRUE(host.WaitForEnd(test::kDeadline));
            EXPECT_FALSE(session.FinishEndedCapture());
            EXPECT_FALSE(session.running());
        }
    }
    Shell("ip link del " + device);
    Shell("ip netns del " + space);
    ASSERT_TRUE(created);
    ASSERT_EQ(host.Errors().size(), 1U);
    EXPECT_EQ(host.Errors()[0].rfind("recv 接收包失败\nError code: ", 0), 0U) << host.Errors()[0];
}

}  // namespace
}  // namespace ravelin
