#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ravelin {

/// A running process as the process list shows it.
struct ProcessInfo {
    int pid = 0;
    /// The image name: the file name of the executable, or the kernel's name of the process
    /// (/proc/<pid>/comm) where the executable cannot be read, as for kernel threads.
    std::string name;
};

/// What the system tells about its processes (/proc on Linux).
class ProcessSource {
public:
    virtual ~ProcessSource() = default;

    /// The ids of all running processes; nothing when they cannot be listed.
    virtual std::optional<std::vector<int>> ProcessIds() = 0;
    /// Every running process with its image name, in ascending id order.
    virtual std::vector<ProcessInfo> Snapshot() = 0;
    /// The full path of the process's executable, where it can be read.
    virtual std::optional<std::string> ImagePath(int pid) = 0;
    /// The process's image name as Snapshot gives it; nothing when the process is gone.
    virtual std::optional<std::string> ImageName(int pid) {
        auto path = ImagePath(pid);
        if (!path) return std::nullopt;
        return path->substr(path->rfind('/') + 1);
    }
    /// Whether the process belongs to the installed operating system: its executable is a file
    /// of an installed distribution package, or it is a kernel thread without an executable.
    virtual bool IsSystemProcess(int pid) = 0;
    /// The inodes of the sockets that each process holds open: inode → pid. Costly (a walk of
    /// every process's descriptors).
    virtual void SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) = 0;
    /// The socket inodes that one process holds open.
    virtual std::vector<std::uint64_t> SocketInodesOf(int pid) = 0;
    /// Whether the process has or had child processes (running, ended, or ended and waited
    /// for), so that a socket it held may have been in a child's hands; nothing where that
    /// cannot be told.
    virtual std::optional<bool> HasHadChildren(int /*pid*/) { return std::nullopt; }
};

}  // namespace ravelin
