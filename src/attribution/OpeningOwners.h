#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "attribution/ConnectionOpenings.h"
#include "attribution/InodeOwners.h"
#include "attribution/ProcessSource.h"
#include "attribution/SocketEvents.h"
#include "attribution/SocketTable.h"

namespace ravelin {

/// Where kernel socket events cannot run: names the owner of each connection this host opens
/// as it opens, on a thread of its own, and hands the answers on as socket events.
///
/// Packets reach the owner lookup a block later, a millisecond or more after they were sent.
/// A program that fetches one short resource after another (wget --recursive, a package
/// manager) has closed each connection by then, and the tables no longer know it. At the SYN
/// the socket is certain to exist, and so is the process that connects.
class OpeningOwners final : public SocketEventSource {
public:
    /// Found owners that wait for Drain; beyond this many (capture stopped, nobody drains) new
    /// ones are left out.
    static constexpr std::size_t kMaximumWaiting = 65536;

    OpeningOwners(std::unique_ptr<ConnectionOpenings> openings,
                  std::unique_ptr<SocketTable> sockets, std::unique_ptr<ProcessSource> processes);
    ~OpeningOwners() override;
    OpeningOwners(const OpeningOwners&) = delete;
    OpeningOwners& operator=(const OpeningOwners&) = delete;

    void Drain(std::vector<SocketEvent>& events) override;

private:
    /// How long the thread waits for openings before it looks after the map, when idle.
    static constexpr std::chrono::milliseconds kIdleLook{250};
    /// How long without openings ends a burst of them: a program that fetches one resource
    /// after another opens a connection every few milliseconds.
    static constexpr std::chrono::milliseconds kBurstGap{20};

    struct Unresolved {
        SocketEndpoints ends;
        std::uint64_t inode;
    };

    void Run();
    std::optional<int> FindQuickly(const SocketEndpoints& ends, std::uint64_t inode,
                                   InodeOwners::Clock::time_point now);
    SocketEvent Opened(const SocketEndpoints& ends, int pid);
    /// Hands found owners to Drain and empties `found`.
    void Publish(std::vector<SocketEvent>& found);

    std::unique_ptr<ConnectionOpenings> openings_;
    std::unique_ptr<SocketTable> sockets_;
    std::unique_ptr<ProcessSource> processes_;
    InodeOwners inodes_;  // the thread's own
    std::mutex mutex_;
    std::vector<SocketEvent> waiting_;  // guarded by mutex_
    std::atomic<bool> anyWaiting_{false};
    std::thread thread_;
};

}  // namespace ravelin
