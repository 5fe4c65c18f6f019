#include "attribution/InodeOwners.h"

#include <gtest/gtest.h>

#include "support/FakeProcessSource.h"

namespace ravelin {
namespace {

using namespace std::chrono_literals;
using test::FakeProcessSource;

// Packets are judged some milliseconds after they were sent, so an unrelated miss can make the
// search land between a client's start and its first socket. The client must still be found
// while its connection lives, not only at the next full walk: a curl is done in less time.
TEST(InodeOwnersTest, AProcessSearchedBeforeItsFirstSocketIsSearchedAgainWhileNew) {
    FakeProcessSource processes;
    processes.AddProcess(1, "init");
    processes.SetSocketInodes(1, {10});
    processes.AddProcess(5, "daemon");
    InodeOwners owners(processes, 250ms);
    InodeOwners::Clock::time_point now{std::chrono::hours(1)};
    ASSERT_EQ(owners.Find(10, now), 1);

    processes.AddProcess(2, "curl");
    EXPECT_EQ(owners.Find(99, now), std::nullopt);  // searches curl, then walks everything
    EXPECT_EQ(owners.fullWalks(), 1u);
    processes.SetSocketInodes(2, {20});
    now += 10ms;
    EXPECT_EQ(owners.Find(20, now), 2);
    EXPECT_EQ(owners.fullWalks(), 1u);

    // A long-running process that owned a socket lately (a browser opening connections in a
    // burst) has its new socket found at once...
    processes.SetSocketInodes(1, {10, 11});
    EXPECT_EQ(owners.Find(11, now), 1);
    // ...while one that has run for longer and owned none waits for the next full walk.
    processes.SetSocketInodes(5, {50});
    EXPECT_EQ(owners.Find(50, now), std::nullopt);
    now += 250ms;
    EXPECT_EQ(owners.Find(50, now), 5);
    EXPECT_EQ(owners.fullWalks(), 2u);
}

// A process that starts while every descriptor is being read was not in that walk, so it must
// still count as new afterwards.
TEST(InodeOwnersTest, AProcessStartedDuringTheFullWalkIsSearchedLater) {
    FakeProcessSource processes;
    processes.AddProcess(1, "init");
    InodeOwners owners(processes, 250ms);
    InodeOwners::Clock::time_point now{std::chrono::hours(1)};
    processes.onQuery = [&](std::string_view query) {
        if (query != "SocketInodeOwners") return;
        processes.AddProcess(3, "client");  // its socket comes after the walk
    };
    EXPECT_EQ(owners.Find(99, now), std::nullopt);
    ASSERT_EQ(owners.fullWalks(), 1u);
    processes.onQuery = nullptr;
    processes.SetSocketInodes(3, {31});
    now += 10ms;
    EXPECT_EQ(owners.Find(31, now), 3);
}

}  // namespace
}  // namespace ravelin

namespace ravelin {
namespace {

// A socket shared across fork goes to the process found first; once that one has ended, the
// socket's traffic must move to the process still holding it within seconds, not never.
TEST(InodeOwnersTest, AnOldMapIsWalkedAfreshSoSharedSocketsFindTheirLivingHolder) {
    test::FakeProcessSource processes;
    processes.AddProcess(1, "init");
    processes.SetSocketInodes(1, {10});
    InodeOwners owners(processes, std::chrono::milliseconds(250));
    InodeOwners::Clock::time_point now{std::chrono::hours(1)};
    ASSERT_EQ(owners.Find(10, now), 1);
    ASSERT_EQ(owners.Find(77, now), std::nullopt);  // a first full walk
    const auto walks = owners.fullWalks();

    // Answers from the map cost no walk while it is young...
    now += std::chrono::seconds(1);
    EXPECT_EQ(owners.Find(10, now), 1);
    EXPECT_EQ(owners.fullWalks(), walks);
    // ...and the holder changes: the child that was found first is gone.
    processes.SetSocketInodes(1, {});
    processes.AddProcess(5, "parent");
    processes.SetSocketInodes(5, {10});
    EXPECT_EQ(owners.Find(10, now), 1);  // still the young map's answer
    now += std::chrono::seconds(2);
    EXPECT_EQ(owners.Find(10, now), 5);
    EXPECT_EQ(owners.fullWalks(), walks + 1);
}

}  // namespace
}  // namespace ravelin
