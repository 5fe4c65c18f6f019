#include "attribution/RecordedProcesses.h"

namespace ravelin {

void RecordedProcesses::ShowRecorded(bool recorded) {
    std::lock_guard lock(mutex_);
    if (recorded) names_.clear();
    showRecorded_ = recorded;
}

bool RecordedProcesses::showingRecorded() const {
    std::lock_guard lock(mutex_);
    return showRecorded_;
}

void RecordedProcesses::Note(int pid, std::string_view name) {
    std::lock_guard lock(mutex_);
    if (const auto found = names_.find(pid); found != names_.end() && found->second == name) return;
    names_[pid] = std::string(name);
}

std::optional<std::vector<int>> RecordedProcesses::ProcessIds() {
    {
        std::lock_guard lock(mutex_);
        if (showRecorded_) {
            std::vector<int> pids;
            pids.reserve(names_.size());
            for (const auto& entry : names_) pids.push_back(entry.first);
            return pids;
        }
    }
    if (running_ == nullptr) return std::nullopt;
    return running_->ProcessIds();
}

std::vector<ProcessInfo> RecordedProcesses::Snapshot() {
    {
        std::lock_guard lock(mutex_);
        if (showRecorded_) {
            std::vector<ProcessInfo> processes;
            processes.reserve(names_.size());
            for (const auto& [pid, name] : names_) processes.push_back({pid, name});
            return processes;
        }
    }
    if (running_ == nullptr) return {};
    return running_->Snapshot();
}

std::optional<std::string> RecordedProcesses::ImagePath(int pid) {
    if (showingRecorded() || running_ == nullptr) return std::nullopt;
    return running_->ImagePath(pid);
}

std::optional<std::string> RecordedProcesses::ImageName(int pid) {
    {
        std::lock_guard lock(mutex_);
        if (showRecorded_) {
            const auto found = names_.find(pid);
            if (found == names_.end()) return std::nullopt;
            return found->second;
        }
    }
    if (running_ == nullptr) return std::nullopt;
    return running_->ImageName(pid);
}

bool RecordedProcesses::IsSystemProcess(int pid) {
    return !showingRecorded() && running_ != nullptr && running_->IsSystemProcess(pid);
}

void RecordedProcesses::SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) {
    if (!showingRecorded() && running_ != nullptr) running_->SocketInodeOwners(owners);
}

std::vector<std::uint64_t> RecordedProcesses::SocketInodesOf(int pid) {
    if (showingRecorded() || running_ == nullptr) return {};
    return running_->SocketInodesOf(pid);
}

}  // namespace ravelin
