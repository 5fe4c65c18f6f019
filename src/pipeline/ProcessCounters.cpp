#include "pipeline/ProcessCounters.h"

namespace ravelin {

std::size_t TrafficTally::Find(int pid) {
    for (std::size_t index = 0; index < used_; ++index) {
        if (entries_[index].pid == pid) return index;
    }
    if (used_ == entries_.size()) entries_.emplace_back();
    Entry& entry = entries_[used_];
    entry.pid = pid;
    entry.name.clear();
    entry.sent = {};
    entry.received = {};
    return used_++;
}

void TrafficTally::Clear() {
    used_ = 0;
    last_ = 0;
    packets_ = 0;
}

std::int64_t ProcessCounters::SlotIndex(Clock::time_point time) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()) / kSlot;
}

void ProcessCounters::Merge(TrafficTally& tally) {
    if (tally.empty()) return;
    const std::int64_t now = SlotIndex(now_());
    {
        std::lock_guard lock(mutex_);
        for (std::size_t index = 0; index < tally.used_; ++index) {
            const TrafficTally::Entry& counted = tally.entries_[index];
            Entry& entry = table_[counted.pid];
            if (!counted.name.empty() && counted.name != entry.name) entry.name = counted.name;
            entry.sent.packets += counted.sent.packets;
            entry.sent.bytes += counted.sent.bytes;
            entry.received.packets += counted.received.packets;
            entry.received.bytes += counted.received.bytes;
            Slot& slot = entry.recent[static_cast<std::size_t>(now) % kSlots];
            if (slot.index != now) slot = {now, 0, 0};  // an older round's slot
            slot.sentBytes += counted.sent.bytes;
            slot.receivedBytes += counted.received.bytes;
        }
    }
    tally.Clear();
}

std::vector<ProcessTraffic> ProcessCounters::Snapshot() const {
    const std::int64_t now = SlotIndex(now_());
    const double windowSeconds = std::chrono::duration<double>(kRateWindow).count();
    std::vector<ProcessTraffic> snapshot;
    std::lock_guard lock(mutex_);
    snapshot.reserve(table_.size());
    for (const auto& [pid, entry] : table_) {
        ProcessTraffic traffic{pid, entry.name, entry.sent, entry.received, 0, 0};
        std::uint64_t sentBytes = 0;
        std::uint64_t receivedBytes = 0;
        for (const Slot& slot : entry.recent) {
            // The window is (now - kRateWindow, now]: the current slot and those before it.
            if (slot.index > now - static_cast<std::int64_t>(kSlots) && slot.index <= now) {
                sentBytes += slot.sentBytes;
                receivedBytes += slot.receivedBytes;
            }
        }
        traffic.sentPerSecond = static_cast<double>(sentBytes) / windowSeconds;
        traffic.receivedPerSecond = static_cast<double>(receivedBytes) / windowSeconds;
        snapshot.push_back(std::move(traffic));
    }
    return snapshot;
}

void ProcessCounters::Reset() {
    std::lock_guard lock(mutex_);
    table_.clear();
}

}  // namespace ravelin
