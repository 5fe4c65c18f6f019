#include "attribution/linux/ProcFsProcessSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <string_view>

#include "base/FileIo.h"

namespace ravelin {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
constexpr int kKernelThreadDaemon = 2;                   // kthreadd, parent of kernel threads
constexpr std::string_view kDeletedSuffix = " (deleted)";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

DirPtr OpenDirectory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) close(fd);
    return DirPtr(dir);
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> ReadLink(const std::string& path) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return std::nullopt;
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);  // may have been cut short
    }
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
    std::string contents;
    if (!ReadFile(path, contents).succeeded()) return std::nullopt;
    return contents;
}

// "socket:[12345]" → 12345; other descriptor targets → nothing.
std::optional<std::uint64_t> SocketInode(std::string_view target) {
    constexpr std::string_view kPrefix = "socket:[";
    if (!target.starts_with(kPrefix) || !target.ends_with(']')) return std::nullopt;
    return ParseNumber<std::uint64_t>(
        target.substr(kPrefix.size(), target.size() - kPrefix.size() - 1));
}

// Calls `found` with each socket inode among the open descriptors of /proc/<pid>/fd.
template <typename Found>
void ForEachSocketInode(const std::string& fdDirectory, Found&& found) {
    DirPtr dir = OpenDirectory(fdDirectory);
    if (!dir) return;  // ended, or not ours to read
    const int dirFd = dirfd(dir.get());
    // Each walk reads its own directory stream.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        // Socket targets are short; a longer target is some file's path.
        char target[64];
        const ssize_t length = readlinkat(dirFd, entry->d_name, target, sizeof(target));
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(target)) continue;
        if (auto inode = SocketInode(std::string_view(target, static_cast<std::size_t>(length)))) {
            found(*inode);
        }
    }
}

// The parent, the flags and the minor faults of waited-for children (the 4th, 9th and 11th
// field) of /proc/<pid>/stat. The name before them is in parentheses and may itself hold spaces
// and parentheses, so fields are counted from the last ')'.
struct StatFields {
    int parent = 0;
    unsigned long flags = 0;
    unsigned long childFaults = 0;
};

std::optional<StatFields> ParseStat(std::string_view stat) {
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt
    constexpr int kFieldsAfterName = 9;
    std::string_view fields[kFieldsAfterName];
    for (std::string_view& field : fields) {
        const auto start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::nullopt;
        rest = rest.substr(start);
        const auto end = std::min(rest.find(' '), rest.size());
        field = rest.substr(0, end);
        rest = rest.substr(end);
    }
    const auto parent = ParseNumber<int>(fields[1]);
    const auto flags = ParseNumber<unsigned long>(fields[6]);
    const auto childFaults = ParseNumber<unsigned long>(fields[8]);
    if (!parent || !flags || !childFaults) return std::nullopt;
    return StatFields{*parent, *flags, *childFaults};
}

std::string_view TrimLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    return text;
}

std::uint64_t PathHash(std::string_view path) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
    for (char c : path) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

ProcFsProcessSource::ProcFsProcessSource(std::string procRoot, std::string packageListDir)
    : procRoot_(std::move(procRoot)), packageListDir_(std::move(packageListDir)) {}

std::string ProcFsProcessSource::PidPath(int pid, const char* entry) const {
    std::string path = procRoot_;
    path += '/';
    path += std::to_string(pid);
    path += '/';
    path += entry;
    return path;
}

std::optional<std::vector<int>> ProcFsProcessSource::ProcessIds() {
    DirPtr dir = OpenDirectory(procRoot_);
    if (!dir) return std::nullopt;
    std::vector<int> pids;
    // Each walk reads its own directory stream.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent* entry = readdir(dir.get())) {
        if (auto pid = ParseNumber<int>(entry->d_name); pid && *pid > 0) pids.push_back(*pid);
    }
    std::sort(pids.begin(), pids.end());

    // A process stays what it is while it runs: only pids not seen at the last listing have
    // their stat read, so a refresh costs a directory walk, not a file per process. Ascending
    // order puts kthreadd before its children.
    std::unordered_map<int, bool> kernelThreads;
    kernelThreads.reserve(pids.size());
    std::vector<int> processes;
    processes.reserve(pids.size());
    for (const int pid : pids) {
        std::optional<bool> kernelThread;
        if (const auto known = kernelThreads_.find(pid); known != kernelThreads_.end()) {
            kernelThread = known->second;
        } else if (const auto stat = ReadSmallFile(PidPath(pid, "stat"))) {
            if (const auto fields = ParseStat(*stat)) {
                // pid 2 is kthreadd only where it is a kernel thread itself; in a container's
                // pid namespace it may be any process, whose children are no kernel threads.
                const auto kthreadd = kernelThreads.find(kKernelThreadDaemon);
                kernelThread = (fields->flags & kKernelThreadFlag) != 0 ||
                               (fields->parent == kKernelThreadDaemon &&
                                kthreadd != kernelThreads.end() && kthreadd->second);
            }
        }
        // A stat that cannot be read (the process ended, or /proc hides it from this user)
        // tells nothing: the pid is kept and asked about again at the next listing.
        if (kernelThread) kernelThreads.emplace(pid, *kernelThread);
        if (!kernelThread.value_or(false)) processes.push_back(pid);
    }
    kernelThreads_ = std::move(kernelThreads);
    return processes;
}

std::vector<ProcessInfo> ProcFsProcessSource::Snapshot() {
    std::vector<ProcessInfo> processes;
    const auto pids = ProcessIds();
    if (!pids) return processes;
    processes.reserve(pids->size());
    for (int pid : *pids) {
        auto name = ImageName(pid);
        if (!name) continue;  // ended meanwhile
        processes.push_back({pid, std::move(*name)});
    }
    return processes;
}

std::optional<std::string> ProcFsProcessSource::ImageName(int pid) {
    std::string name;
    if (auto path = ImagePath(pid)) name = path->substr(path->rfind('/') + 1);
    if (name.empty()) {
        // Other users' executables are unreadable without root.
        auto comm = ReadSmallFile(PidPath(pid, "comm"));
        if (!comm) return std::nullopt;
        name = TrimLineEnd(*comm);
    }
    return name;
}

std::optional<std::string> ProcFsProcessSource::ImagePath(int pid) {
    auto path = ReadLink(PidPath(pid, "exe"));
    if (path && path->ends_with(kDeletedSuffix)) path->resize(path->size() - kDeletedSuffix.size());
    return path;
}

bool ProcFsProcessSource::IsSystemProcess(int pid) {
    const auto stat = ReadSmallFile(PidPath(pid, "stat"));
    if (!stat) return false;
    if (auto fields = ParseStat(*stat); fields && (fields->flags & kKernelThreadFlag) != 0) {
        return true;
    }
    const auto path = ImagePath(pid);
    return path && IsPackagedFile(*path);
}

void ProcFsProcessSource::ReadPackageLists() {
    packageListsRead_ = true;
    DirPtr dir = OpenDirectory(packageListDir_);
    if (!dir) return;  // not a dpkg system: no process counts as packaged
    // Each walk reads its own directory stream.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (!name.ends_with(".list")) continue;
        const auto contents = ReadSmallFile(packageListDir_ + '/' + entry->d_name);
        if (!contents) continue;
        std::string_view rest = *contents;
        while (!rest.empty()) {
            const auto end = std::min(rest.find('\n'), rest.size());
            if (end > 0) packagedPathHashes_.push_back(PathHash(rest.substr(0, end)));
            rest = rest.substr(std::min(end + 1, rest.size()));
        }
    }
    std::sort(packagedPathHashes_.begin(), packagedPathHashes_.end());
    packagedPathHashes_.erase(std::unique(packagedPathHashes_.begin(), packagedPathHashes_.end()),
                              packagedPathHashes_.end());
    packagedPathHashes_.shrink_to_fit();
}

bool ProcFsProcessSource::IsPackagedFile(const std::string& path) {
    if (!packageListsRead_) ReadPackageLists();
    const auto listed = [this](std::string_view candidate) {
        return std::binary_search(packagedPathHashes_.begin(), packagedPathHashes_.end(),
                                  PathHash(candidate));
    };
    if (listed(path)) return true;
    constexpr std::string_view kUsr = "/usr";
    if (path.starts_with("/usr/")) return listed(std::string_view(path).substr(kUsr.size()));
    return listed(std::string(kUsr) + path);
}

void ProcFsProcessSource::SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) {
    owners.clear();
    const auto pids = ProcessIds();
    if (!pids) return;
    for (int pid : *pids) {
        // Ascending pids and emplace: the lowest pid keeps a shared socket.
        ForEachSocketInode(PidPath(pid, "fd"),
                           [&](std::uint64_t inode) { owners.emplace(inode, pid); });
    }
}

std::vector<std::uint64_t> ProcFsProcessSource::SocketInodesOf(int pid) {
    std::vector<std::uint64_t> inodes;
    ForEachSocketInode(PidPath(pid, "fd"), [&](std::uint64_t inode) { inodes.push_back(inode); });
    return inodes;
}

std::optional<bool> ProcFsProcessSource::HasHadChildren(int pid) {
    // A child that ended and was waited for leaves its page faults with the parent: every
    // process makes some.
    if (const auto stat = ReadSmallFile(PidPath(pid, "stat"))) {
        if (const auto fields = ParseStat(*stat); fields && fields->childFaults > 0) return true;
    }
    const std::string tasks = PidPath(pid, "task");
    DirPtr dir = OpenDirectory(tasks);
    if (!dir) return std::nullopt;
    bool anyRead = false;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): each call reads its own directory stream
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        const auto children = ReadSmallFile(tasks + "/" + entry->d_name + "/children");
        if (!children) continue;  // the thread ended, or the kernel keeps no such list
        anyRead = true;
        if (children->find_first_not_of(" \n") != std::string::npos) return true;
    }
    if (!anyRead) return std::nullopt;
    return false;
}

}  // namespace ravelin
