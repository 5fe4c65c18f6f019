#include "attribution/OpeningOwners.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <thread>

#include "support/DatagramBuilder.h"
#include "support/FakeProcessSource.h"
#include "support/FakeSocketTable.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

// SYNs as a test sends them; Wait blocks until one comes or Stop.
class ScriptedOpenings : public ConnectionOpenings {
public:
    void Send(SocketEndpoints ends) {
        const std::lock_guard lock(mutex_);
        pending_.push_back(ends);
        changed_.notify_all();
    }
    Waited Wait(std::vector<SocketEndpoints>& openings, std::chrono::milliseconds quiet) override {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, quiet, [this] { return stopped_ || !pending_.empty(); })) {
            return Waited::kQuiet;
        }
        if (stopped_) return Waited::kStopped;
        openings.assign(pending_.begin(), pending_.end());
        pending_.clear();
        return Waited::kOpened;
    }
    void Stop() override {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SocketEndpoints> pending_;
    bool stopped_ = false;
};

TEST(OpeningOwnersTest, EachOpeningIsNamedAfterItsHolderWhileItsSocketLasts) {
    const SocketEndpoints client =
        SocketEndpoints::Ipv4(test::Ipv4("127.0.0.1"), 41000, test::Ipv4("127.0.0.1"), 80);
    const SocketEndpoints gone =
        SocketEndpoints::Ipv4(test::Ipv4("127.0.0.1"), 41001, test::Ipv4("127.0.0.1"), 80);
    auto openings = std::make_unique<ScriptedOpenings>();
    auto sockets = std::make_unique<test::FakeSocketTable>();
    auto processes = std::make_unique<test::FakeProcessSource>();
    sockets->SetTcp({test::FakeSocketTable::Row(77, client)});
    processes->AddProcess(300, "wget");
    processes->SetSocketInodes(300, {77});
    ScriptedOpenings& script = *openings;
    std::vector<SocketEvent> events;
    {
        OpeningOwners owners(std::move(openings), std::move(sockets), std::move(processes));
        // A connection already over when it is looked at tells nothing.
        script.Send(gone);
        script.Send(client);
        ASSERT_TRUE(test::WaitUntil([&] {
            owners.Drain(events);
            return !events.empty();
        }));
    }  // stops and joins the thread
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].kind, SocketEvent::Kind::kOpened);
    EXPECT_TRUE(events[0].tcp);
    EXPECT_EQ(events[0].endpoints, client);
    EXPECT_EQ(events[0].pid, 300);
    EXPECT_EQ(events[0].name, "wget");
}

TEST(OpeningOwnersTest, AWalkOfEveryProcessWaitsUntilNoOpeningDoes) {
    // An old program's first connection needs a walk of every process; a new program's is
    // found among the processes started lately, and is not kept waiting behind that walk.
    const SocketEndpoints old =
        SocketEndpoints::Ipv4(test::Ipv4("127.0.0.1"), 41000, test::Ipv4("127.0.0.1"), 80);
    const SocketEndpoints fresh =
        SocketEndpoints::Ipv4(test::Ipv4("127.0.0.1"), 41001, test::Ipv4("127.0.0.1"), 80);
    auto openings = std::make_unique<ScriptedOpenings>();
    auto sockets = std::make_unique<test::FakeSocketTable>();
    auto processes = std::make_unique<test::FakeProcessSource>();
    sockets->SetTcp({test::FakeSocketTable::Row(77, old), test::FakeSocketTable::Row(78, fresh)});
    processes->AddProcess(300, "firefox");
    std::mutex mutex;
    std::condition_variable released;
    int walks = 0;
    bool release = false;
    processes->onQuery = [&](std::string_view query) {
        if (query != "SocketInodeOwners") return;
        std::unique_lock lock(mutex);
        if (++walks > 1) released.wait(lock, [&] { return release; });
    };
    ScriptedOpenings& script = *openings;
    test::FakeProcessSource& source = *processes;
    std::vector<SocketEvent> events;
    OpeningOwners owners(std::move(openings), std::move(sockets), std::move(processes));
    ASSERT_TRUE(test::WaitUntil([&] {
        const std::lock_guard lock(mutex);
        return walks == 1;
    }));
    // Older than the lookup's idea of lately.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    source.SetSocketInodes(300, {77});
    source.AddProcess(301, "wget");
    source.SetSocketInodes(301, {78});
    script.Send(old);
    script.Send(fresh);
    ASSERT_TRUE(test::WaitUntil([&] {
        owners.Drain(events);
        return !events.empty();
    }));
    EXPECT_EQ(events[0].pid, 301);
    {
        const std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(test::WaitUntil([&] {
        owners.Drain(events);
        return events.size() == 2;
    }));
    EXPECT_EQ(events[1].endpoints, old);
    EXPECT_EQ(events[1].pid, 300);
}

}  // namespace
}  // namespace ravelin
