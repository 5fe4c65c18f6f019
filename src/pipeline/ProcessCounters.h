#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ravelin {

/// Packets and bytes (IP total length) one way.
struct TrafficCount {
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;

    bool operator==(const TrafficCount&) const = default;
};

/// What one process sent and received: totals since the last reset, and bytes per second over
/// the last two seconds.
struct ProcessTraffic {
    int pid = -1;      ///< -1: traffic without a known owner
    std::string name;  ///< the last name seen for the pid; empty where none was
    TrafficCount sent;
    TrafficCount received;
    double sentPerSecond = 0;
    double receivedPerSecond = 0;
};

/// One thread's counts since it last handed them over: the pipeline adds each packet here
/// without a lock, and merges the lot into the shared table at the end of a batch. Packets of
/// one flow come in runs, so the last process counted is tried before any search.
class TrafficTally {
public:
    /// Counts a packet; true when the tally should be handed over now (it grew large).
    /// The name is taken when a run of the process's packets begins (or while it has none):
    /// comparing it on every packet cost a fifth of the counting.
    bool Count(int pid, std::string_view name, bool sent, std::uint32_t bytes) {
        const bool runBegins = last_ >= used_ || entries_[last_].pid != pid;
        if (runBegins) last_ = Find(pid);
        Entry& entry = entries_[last_];
        if (runBegins || entry.name.empty()) Name(entry, name);
        TrafficCount& side = sent ? entry.sent : entry.received;
        ++side.packets;
        side.bytes += bytes;
        return ++packets_ >= kHandOverPackets || used_ >= kHandOverEntries;
    }
    bool empty() const { return packets_ == 0; }

private:
    friend class ProcessCounters;
    // Large enough to make the lock rare, small enough that a reader is not kept waiting long
    // for a replay that never lets the queue run dry.
    static constexpr std::uint64_t kHandOverPackets = 4096;
    static constexpr std::size_t kHandOverEntries = 64;

    struct Entry {
        int pid = -1;
        std::string name;
        TrafficCount sent;
        TrafficCount received;
    };

    std::size_t Find(int pid);
    static void Name(Entry& entry, std::string_view name) {
        if (!name.empty() && name != entry.name) entry.name.assign(name);
    }
    void Clear();

    std::vector<Entry> entries_;
    std::size_t used_ = 0;  // entries_ beyond it keep their strings' storage for reuse
    std::size_t last_ = 0;
    std::uint64_t packets_ = 0;
};

/// How much each process sent and received, shared between the pipeline, which adds to it, and
/// whoever shows it (the process tree, the headless mode). One lock, held while a tally is
/// merged or a snapshot taken.
class ProcessCounters {
public:
    using Clock = std::chrono::steady_clock;
    /// The rates cover this much time up to now.
    static constexpr Clock::duration kRateWindow = std::chrono::seconds(2);

    /// `now` is the clock of the rates (a test's own).
    explicit ProcessCounters(std::function<Clock::time_point()> now = Clock::now)
        : now_(std::move(now)) {}

    /// Adds a tally's counts as of now, and empties it.
    void Merge(TrafficTally& tally);
    /// Every process counted since the last reset, with its rates as of now; in no order.
    std::vector<ProcessTraffic> Snapshot() const;
    /// Forgets every count (Clean).
    void Reset();

private:
    // The rate window in slots: bytes are put in the slot of the time they were merged.
    static constexpr auto kSlot = std::chrono::milliseconds(100);
    static constexpr std::size_t kSlots = 20;  // kRateWindow / kSlot

    struct Slot {
        std::int64_t index = -1;  // time since the clock's epoch in kSlot units
        std::uint64_t sentBytes = 0;
        std::uint64_t receivedBytes = 0;
    };
    struct Entry {
        std::string name;
        TrafficCount sent;
        TrafficCount received;
        std::array<Slot, kSlots> recent;  // not "slots": a Qt keyword
    };

    std::int64_t SlotIndex(Clock::time_point time) const;

    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;  // guards table_
    std::unordered_map<int, Entry> table_;
};

}  // namespace ravelin
