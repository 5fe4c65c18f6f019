#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "attribution/ProcessSource.h"

namespace ravelin {

/// The process tree's source of processes: the running ones, or, while a saved capture is
/// shown, the processes its packet comments name. Those are not running (or are other
/// processes by now), so the tree shows them as the file has them: pid and image name, no
/// executable, no sockets.
///
/// The pipeline thread notes recorded owners as it meets them; the tree reads on its threads.
class RecordedProcesses : public ProcessSource {
public:
    /// `running` may be null (a monitor without a process tree): then only recorded processes
    /// are known.
    explicit RecordedProcesses(ProcessSource* running) : running_(running) {}

    /// Shows the recorded processes (true) or the running ones (false). Switching to the
    /// recorded ones forgets those of an earlier file.
    void ShowRecorded(bool recorded);
    bool showingRecorded() const;
    /// A process that a saved capture names; the latest name wins for a pid.
    void Note(int pid, std::string_view name);

    std::optional<std::vector<int>> ProcessIds() override;
    std::vector<ProcessInfo> Snapshot() override;
    std::optional<std::string> ImagePath(int pid) override;
    std::optional<std::string> ImageName(int pid) override;
    bool IsSystemProcess(int pid) override;
    void SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) override;
    std::vector<std::uint64_t> SocketInodesOf(int pid) override;

private:
    ProcessSource* running_;
    mutable std::mutex mutex_;
    bool showRecorded_ = false;         // guarded by mutex_
    std::map<int, std::string> names_;  // guarded by mutex_; ascending pids, as Snapshot gives
};

}  // namespace ravelin
