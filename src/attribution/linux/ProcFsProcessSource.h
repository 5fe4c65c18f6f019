#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "attribution/ProcessSource.h"

namespace ravelin {

/// Processes as /proc shows them (proc(5)); installed files from dpkg's file lists.
///
/// Kernel threads are left out of the ids and the snapshot: they own no socket, and a hundred
/// kworkers would bury the user's processes. A kernel thread has PF_KTHREAD in the flags of
/// /proc/<pid>/stat, or kthreadd (pid 2, itself a kernel thread) as its parent.
///
/// One user at a time: the package file lists are read on first need and kept in the object.
/// Processes that end while they are being read are left out, never reported half-read.
class ProcFsProcessSource : public ProcessSource {
public:
    explicit ProcFsProcessSource(std::string procRoot = "/proc",
                                 std::string packageListDir = "/var/lib/dpkg/info");

    /// The numeric entries of /proc, kernel threads left out; a process whose stat cannot be
    /// read (it ended, or /proc hides it) is kept.
    std::optional<std::vector<int>> ProcessIds() override;
    /// The processes of ProcessIds() with their image names.
    std::vector<ProcessInfo> Snapshot() override;
    /// The target of /proc/<pid>/exe, without the " (deleted)" the kernel appends when the
    /// file was removed or replaced (as by a package upgrade) after the process started.
    std::optional<std::string> ImagePath(int pid) override;
    std::optional<std::string> ImageName(int pid) override;
    /// A kernel thread (PF_KTHREAD in /proc/<pid>/stat), or an executable that a *.list file
    /// of the package list directory names. With merged /usr, /bin/x and /usr/bin/x are the
    /// same file, so either spelling in a list counts.
    bool IsSystemProcess(int pid) override;
    /// Replaces the contents of `owners`. A socket shared by several processes goes to the
    /// lowest pid.
    void SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) override;
    std::vector<std::uint64_t> SocketInodesOf(int pid) override;
    /// From the children's page faults in /proc/<pid>/stat, and /proc/<pid>/task/<tid>/children
    /// of each of its threads, for any thread may fork.
    std::optional<bool> HasHadChildren(int pid) override;

private:
    std::string PidPath(int pid, const char* entry) const;
    bool IsPackagedFile(const std::string& path);
    void ReadPackageLists();

    std::string procRoot_;
    std::string packageListDir_;
    bool packageListsRead_ = false;
    // Whether each pid of the last listing is a kernel thread.
    std::unordered_map<int, bool> kernelThreads_;
    // 64-bit hashes of the listed paths, sorted: some 150 000 paths would take tens of MB
    // as strings; a false match is about as likely as 1 in 10^14 per lookup.
    std::vector<std::uint64_t> packagedPathHashes_;
};

}  // namespace ravelin
