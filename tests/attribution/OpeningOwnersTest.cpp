#include "attribution/OpeningOwners.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>

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
    bool Wait(std::vector<SocketEndpoints>& openings) override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopped_ || !pending_.empty(); });
        if (stopped_) return false;
        openings.assign(pending_.begin(), pending_.end());
        pending_.clear();
        return true;
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
    const SocketEndpoints client{test::Ipv4("127.0.0.1"), 41000, test::Ipv4("127.0.0.1"), 80};
    const SocketEndpoints gone{test::Ipv4("127.0.0.1"), 41001, test::Ipv4("127.0.0.1"), 80};
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

}  // namespace
}  // namespace ravelin
