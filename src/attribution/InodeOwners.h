#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "attribution/ProcessSource.h"

namespace ravelin {

/// Which process holds a socket inode, kept between lookups.
///
/// A walk of every process's descriptors costs milliseconds, so for an inode missing from the
/// map the few processes that most recently owned a new socket are searched first: a
/// long-running program that opens short connections in bursts (a browser, wget --recursive)
/// is found before its connections end. Then the processes that started since the last look (a
/// new client's sockets are found at once), and only then everything, at most once per
/// `minimumInterval` whatever the packet rate. A process first seen within the interval is
/// searched again on a miss: it may have been looked at between its start and its first
/// socket, and a client that lives for less than the interval would otherwise never be found.
/// An inode that no search found is not searched for again within the interval.
class InodeOwners {
public:
    using Clock = std::chrono::steady_clock;

    explicit InodeOwners(ProcessSource& processes,
                         Clock::duration minimumInterval = std::chrono::milliseconds(250))
        : processes_(processes), minimumInterval_(minimumInterval) {}

    std::optional<int> Find(std::uint64_t inode, Clock::time_point now);
    /// Find without walking every process: the map and the few recent owners of new sockets
    /// (microseconds), then, `alsoNewProcesses`, the processes started lately (a listing of
    /// every process id, milliseconds where there are thousands). For a caller with lookups
    /// waiting that a walk would delay; a miss is not remembered, so Find may look again.
    enum class Quickly { kRecentOwners, kAlsoNewProcesses };
    std::optional<int> FindQuickly(std::uint64_t inode, Clock::time_point now, Quickly reach);
    /// Empties the map once it has grown too old to trust, as Find walks it afresh; for a caller
    /// that cannot wait for a walk. The searches fill it again as owners are sought.
    void ForgetIfOld(Clock::time_point now);
    /// Finds who holds the inode now, whatever the map said of it: where a process that
    /// started lately holds it too (a child it was handed to across fork), the newest of them.
    std::optional<int> FindAfresh(std::uint64_t inode, Clock::time_point now);

    /// Walks every process's descriptors now, so that the first search after it looks at the
    /// processes started since, not at all of them.
    void WalkEverything(Clock::time_point now);

    /// How often every process's descriptors were walked (for tests and figures).
    std::uint64_t fullWalks() const { return fullWalks_; }

private:
    static constexpr std::size_t kMaximumMisses = 4096;
    /// How many recent owners of new sockets are searched by themselves on a miss.
    static constexpr std::size_t kRecentOwners = 8;
    /// However well the map answers, it is rebuilt when it is this old.
    static constexpr Clock::duration kRevalidateInterval = std::chrono::seconds(2);

    std::optional<int> Known(std::uint64_t inode) const;
    bool IsOld(Clock::time_point now) const;
    /// Searches for an inode missing from the map, cheapest first; with `newestHolder`, the
    /// newest of the processes started lately that hold it wins.
    enum class Reach { kRecentOwners, kNewProcesses, kEverything };
    std::optional<int> Search(std::uint64_t inode, Clock::time_point now, bool newestHolder,
                              Reach reach);
    /// Maps the sockets of the processes that started lately; of those that hold `sought`,
    /// the newest keeps it.
    void SearchNewProcesses(Clock::time_point now, std::uint64_t sought = 0);
    void SearchRecentOwners();
    void NoteOwner(int pid);

    ProcessSource& processes_;
    Clock::duration minimumInterval_;
    std::unordered_map<std::uint64_t, int> owners_;
    // The processes whose sockets are in owners_, with the time each was first seen.
    std::unordered_map<int, Clock::time_point> searchedPids_;
    std::unordered_map<std::uint64_t, Clock::time_point> misses_;
    std::vector<int> recentOwners_;  // most recent first
    std::optional<Clock::time_point> lastFullWalk_;
    std::optional<Clock::time_point> mapSince_;  // the last walk, or the last time forgotten
    std::uint64_t fullWalks_ = 0;
};

}  // namespace ravelin
