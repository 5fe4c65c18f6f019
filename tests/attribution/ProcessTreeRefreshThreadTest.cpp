#include "attribution/ProcessTreeRefreshThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"

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
