#include "attribution/InodeOwners.h"

#include <algorithm>

namespace ravelin {

std::optional<int> InodeOwners::Known(std::uint64_t inode) const {
    if (const auto found = owners_.find(inode); found != owners_.end()) return found->second;
    return std::nullopt;
}

void InodeOwners::SearchNewProcesses(Clock::time_point now, std::uint64_t sought) {
    const auto ids = processes_.ProcessIds();
    if (!ids) return;
    // Processes that were running before the first search are left to the full walk.
    const bool firstSearch = searchedPids_.empty();
    std::unordered_map<int, Clock::time_point> seen;  // ended processes drop out
    seen.reserve(ids->size());
    for (const int pid : *ids) {
        const auto known = searchedPids_.find(pid);
        const bool isNew = known == searchedPids_.end();
        const Clock::time_point since = !isNew        ? known->second
                                        : firstSearch ? now - minimumInterval_
                                                      : now;
        seen.emplace(pid, since);
        if (!isNew && now - since >= minimumInterval_) continue;
        for (const std::uint64_t inode : processes_.SocketInodesOf(pid)) {
            // Process ids are listed in ascending order, so a later one is the newer (short of
            // the ids wrapping round within the interval).
            if (inode == sought) {
                owners_.insert_or_assign(inode, pid);
            } else {
                owners_.emplace(inode, pid);
            }
        }
    }
    searchedPids_ = std::move(seen);
}

void InodeOwners::WalkEverything(Clock::time_point now) {
    // The ids from before the walk: a process that starts during it is still new afterwards.
    const auto ids = processes_.ProcessIds();
    owners_.clear();
    processes_.SocketInodeOwners(owners_);
    std::unordered_map<int, Clock::time_point> seen;
    if (ids) {
        for (const int pid : *ids) {
            const auto known = searchedPids_.find(pid);
            seen.emplace(pid, known != searchedPids_.end() ? known->second : now);
        }
    }
    searchedPids_ = std::move(seen);
    misses_.clear();
    lastFullWalk_ = mapSince_ = now;
    ++fullWalks_;
}

void InodeOwners::NoteOwner(int pid) {
    const auto known = std::find(recentOwners_.begin(), recentOwners_.end(), pid);
    if (known != recentOwners_.end()) recentOwners_.erase(known);
    recentOwners_.insert(recentOwners_.begin(), pid);
    if (recentOwners_.size() > kRecentOwners) recentOwners_.pop_back();
}

void InodeOwners::SearchRecentOwners() {
    for (const int pid : recentOwners_) {
        for (const std::uint64_t inode : processes_.SocketInodesOf(pid))
            owners_.emplace(inode, pid);
    }
}

std::optional<int> InodeOwners::FindAfresh(std::uint64_t inode, Clock::time_point now) {
    if (inode == 0) return std::nullopt;
    owners_.erase(inode);
    misses_.erase(inode);
    return Search(inode, now, true, Reach::kEverything);
}

bool InodeOwners::IsOld(Clock::time_point now) const {
    return mapSince_ && now - *mapSince_ >= kRevalidateInterval;
}

void InodeOwners::ForgetIfOld(Clock::time_point now) {
    if (!IsOld(now)) return;
    owners_.clear();
    misses_.clear();
    mapSince_ = now;
}

std::optional<int> InodeOwners::FindQuickly(std::uint64_t inode, Clock::time_point now,
                                            Quickly reach) {
    if (inode == 0) return std::nullopt;
    if (const auto pid = Known(inode)) return pid;
    return Search(inode, now, false,
                  reach == Quickly::kRecentOwners ? Reach::kRecentOwners : Reach::kNewProcesses);
}

std::optional<int> InodeOwners::Find(std::uint64_t inode, Clock::time_point now) {
    if (inode == 0) return std::nullopt;
    // A socket shared across fork stays with whoever was found first, even after that process
    // closed its copy or ended: an old map is walked afresh now and then.
    if (IsOld(now)) WalkEverything(now);
    if (const auto pid = Known(inode)) return pid;
    if (const auto miss = misses_.find(inode);
        miss != misses_.end() && now - miss->second < minimumInterval_) {
        return std::nullopt;
    }
    return Search(inode, now, false, Reach::kEverything);
}

std::optional<int> InodeOwners::Search(std::uint64_t inode, Clock::time_point now,
                                       bool newestHolder, Reach reach) {
    const auto found = [&]() -> std::optional<int> {
        const auto pid = Known(inode);
        if (pid) NoteOwner(*pid);
        return pid;
    };
    // The few processes that made sockets lately first: a program that opens one connection
    // after another is found at once, without listing every process, while its connection
    // may still be open. Looking for the newest holder, the processes started lately come
    // first instead, for a recent owner may be the parent that handed the socket on.
    if (!newestHolder) {
        SearchRecentOwners();
        if (const auto pid = found()) return pid;
        if (reach == Reach::kRecentOwners) return std::nullopt;
    }
    SearchNewProcesses(now, newestHolder ? inode : 0);
    if (const auto pid = found()) return pid;
    if (newestHolder) {
        SearchRecentOwners();
        if (const auto pid = found()) return pid;
    }
    if (reach != Reach::kEverything) return std::nullopt;
    if (!lastFullWalk_ || now - *lastFullWalk_ >= minimumInterval_) {
        WalkEverything(now);
        if (const auto pid = found()) return pid;
    }
    if (misses_.size() >= kMaximumMisses) misses_.clear();
    misses_[inode] = now;
    return std::nullopt;
}

}  // namespace ravelin
