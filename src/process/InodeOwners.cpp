#include "process/InodeOwners.h"

namespace ravelin {

std::optional<int> InodeOwners::Known(std::uint64_t inode) const {
    if (const auto found = owners_.find(inode); found != owners_.end()) return found->second;
    return std::nullopt;
}

void InodeOwners::SearchNewProcesses() {
    const auto ids = processes_.ProcessIds();
    if (!ids) return;
    for (const int pid : *ids) {
        if (!searchedPids_.insert(pid).second) continue;
        for (const std::uint64_t inode : processes_.SocketInodesOf(pid)) owners_.emplace(inode, pid);
    }
}

void InodeOwners::WalkEverything(Clock::time_point now) {
    owners_.clear();
    processes_.SocketInodeOwners(owners_);
    searchedPids_.clear();
    if (const auto ids = processes_.ProcessIds()) searchedPids_.insert(ids->begin(), ids->end());
    misses_.clear();
    lastFullWalk_ = now;
    ++fullWalks_;
}

std::optional<int> InodeOwners::Find(std::uint64_t inode, Clock::time_point now) {
    if (inode == 0) return std::nullopt;
    if (const auto pid = Known(inode)) return pid;
    if (const auto miss = misses_.find(inode);
        miss != misses_.end() && now - miss->second < minimumInterval_) {
        return std::nullopt;
    }

    SearchNewProcesses();
    if (const auto pid = Known(inode)) return pid;
    if (!lastFullWalk_ || now - *lastFullWalk_ >= minimumInterval_) {
        WalkEverything(now);
        if (const auto pid = Known(inode)) return pid;
    }
    if (misses_.size() >= kMaximumMisses) misses_.clear();
    misses_[inode] = now;
    return std::nullopt;
}

}  // namespace ravelin
