#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "attribution/ProcessSource.h"

namespace ravelin::test {

/// A process list set by the test. Safe to change from one thread while others query it.
class FakeProcessSource : public ProcessSource {
public:
    /// Called at the start of every query with the query's name ("ProcessIds", "Snapshot",
    /// "ImagePath", "IsSystemProcess", "SocketInodeOwners", "SocketInodesOf"), without the
    /// fake's lock: a test can block a query there. Set it before any other thread queries.
    std::function<void(std::string_view query)> onQuery;

    std::atomic<int> processIdsCalls{0};
    std::atomic<int> snapshotCalls{0};
    std::atomic<int> imagePathCalls{0};
    std::atomic<int> systemCalls{0};
    std::atomic<int> socketInodesCalls{0};

    /// Starts a process, or renames the one with this pid (as when a pid is reused).
    void AddProcess(int pid, std::string name) {
        std::lock_guard lock(mutex_);
        processes_[pid] = std::move(name);
    }
    void RemoveProcess(int pid) {
        std::lock_guard lock(mutex_);
        processes_.erase(pid);
    }
    void SetImagePath(int pid, std::string path) {
        std::lock_guard lock(mutex_);
        imagePaths_[pid] = std::move(path);
    }
    void SetSystemProcess(int pid) {
        std::lock_guard lock(mutex_);
        systemPids_.insert(pid);
    }
    void SetSocketInodes(int pid, std::vector<std::uint64_t> inodes) {
        std::lock_guard lock(mutex_);
        socketInodes_[pid] = std::move(inodes);
    }
    /// While set, ProcessIds answers nothing, as when /proc cannot be listed.
    void FailProcessIds(bool fail) { failProcessIds_.store(fail); }

    std::vector<int> Pids() const {
        std::lock_guard lock(mutex_);
        std::vector<int> pids;
        for (const auto& [pid, name] : processes_) pids.push_back(pid);
        return pids;
    }
    /// The distinct pids that ImagePath, IsSystemProcess or SocketInodesOf were asked about.
    std::set<int> ProbedPids() const {
        std::lock_guard lock(mutex_);
        return probedPids_;
    }
    void ResetCounters() {
        processIdsCalls = snapshotCalls = imagePathCalls = systemCalls = socketInodesCalls = 0;
        std::lock_guard lock(mutex_);
        probedPids_.clear();
    }

    std::optional<std::vector<int>> ProcessIds() override {
        Enter("ProcessIds", processIdsCalls);
        if (failProcessIds_.load()) return std::nullopt;
        return Pids();
    }

    std::vector<ProcessInfo> Snapshot() override {
        Enter("Snapshot", snapshotCalls);
        std::lock_guard lock(mutex_);
        std::vector<ProcessInfo> snapshot;
        for (const auto& [pid, name] : processes_) snapshot.push_back({pid, name});
        return snapshot;
    }

    std::optional<std::string> ImagePath(int pid) override {
        Enter("ImagePath", imagePathCalls);
        std::lock_guard lock(mutex_);
        probedPids_.insert(pid);
        const auto found = imagePaths_.find(pid);
        if (found == imagePaths_.end()) return std::nullopt;
        return found->second;
    }

    std::optional<std::string> ImageName(int pid) override {
        std::lock_guard lock(mutex_);
        const auto found = processes_.find(pid);
        if (found == processes_.end()) return std::nullopt;
        return found->second;
    }

    bool IsSystemProcess(int pid) override {
        Enter("IsSystemProcess", systemCalls);
        std::lock_guard lock(mutex_);
        probedPids_.insert(pid);
        return systemPids_.contains(pid);
    }

    void SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) override {
        if (onQuery) onQuery("SocketInodeOwners");
        std::lock_guard lock(mutex_);
        owners.clear();
        for (const auto& [pid, inodes] : socketInodes_) {
            if (!processes_.contains(pid)) continue;
            for (std::uint64_t inode : inodes) owners[inode] = pid;
        }
    }

    std::vector<std::uint64_t> SocketInodesOf(int pid) override {
        Enter("SocketInodesOf", socketInodesCalls);
        std::lock_guard lock(mutex_);
        probedPids_.insert(pid);
        const auto found = socketInodes_.find(pid);
        if (found == socketInodes_.end()) return {};
        return found->second;
    }

private:
    void Enter(std::string_view query, std::atomic<int>& counter) {
        counter++;
        if (onQuery) onQuery(query);
    }

    mutable std::mutex mutex_;
    std::map<int, std::string> processes_;  // ascending pids, like /proc
    std::unordered_map<int, std::string> imagePaths_;
    std::set<int> systemPids_;
    std::unordered_map<int, std::vector<std::uint64_t>> socketInodes_;
    std::set<int> probedPids_;
    std::atomic<bool> failProcessIds_{false};
};

}  // namespace ravelin::test
