#include "attribution/ProcessTreeRefreshThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using namespace std::chrono_literals;

class ProcessTreeRefreshThreadTest : public ::testing::Test {
protected:
    ProcessTreeRefreshThreadTest() {
        processes_.AddProcess(1, "systemd");
        tree_.Build();
    }

    test::FakeProcessSource processes_;
    test::FakeSocketTable sockets_;
    ProcessTree tree_{processes_, sockets_};
};

TEST_F(ProcessTreeRefreshThreadTest, RefreshesTheTreeAndSaysSoFromItsOwnThread) {
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::optional<std::thread::id> caller;
    std::optional<bool> sawNewProcess;
    ProcessTreeRefreshThread refresher(tree_, 10ms, [&] {
        std::lock_guard lock(mutex);
        caller = std::this_thread::get_id();
        sawNewProcess = tree_.FindProcessNode(4000).has_value();
        ++calls;
    });
    processes_.AddProcess(4000, "bash");
    ASSERT_TRUE(test::WaitUntil([&] {
        std::lock_guard lock(mutex);
        return sawNewProcess.value_or(false);
    }));
    const int before = calls.load();
    EXPECT_TRUE(test::WaitUntil([&] { return calls.load() > before; }))
        << "it refreshes again every period";
    std::lock_guard lock(mutex);
    EXPECT_NE(caller, std::this_thread::get_id());
}

TEST_F(ProcessTreeRefreshThreadTest, StopsAtOnceWithoutWaitingForThePeriod) {
    std::atomic<int> calls{0};
    const auto start = std::chrono::steady_clock::now();
    {
        ProcessTreeRefreshThread refresher(tree_, 1h, [&] { ++calls; });
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
}  // namespace ravelin
