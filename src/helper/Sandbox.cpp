#include "helper/Sandbox.h"

#include <linux/bpf.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <linux/securebits.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "base/UniqueFd.h"

// The sanitizer runtimes read /proc/self/maps (symbolising a report, LeakSanitizer at exit) and
// make system calls of their own that no allow-list here would foresee, so a sanitizer build
// keeps the file system and the system calls open; it still drops every capability.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RAVELIN_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAVELIN_SANITIZER_RUNTIME 1
#endif
#endif

// Landlock's rights and scopes that Debian 12's kernel headers (6.1) lack, with the kernel's
// values; the ABI the running kernel reports decides which of them are used.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace ravelin {
namespace {

#ifdef RAVELIN_SANITIZER_RUNTIME
constexpr bool kSanitizerRuntime = true;
#else
constexpr bool kSanitizerRuntime = false;
#endif

void AddProblem(LockDownResult& result, std::string_view what, int code) {
    if (!result.problem.empty()) result.problem += "; ";
    result.problem += what;
    if (code != 0) {
        // strerror shares one buffer between threads; strerror_r does not.
        char buffer[256] = {};
        result.problem += ": ";
        result.problem += strerror_r(code, buffer, sizeof buffer);
    }
}

/// The number of threads /proc/self/status lists, or 0 where it cannot be read.
int ThreadCount() {
    std::ifstream status("/proc/self/status");
    constexpr std::string_view kKey = "Threads:";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, kKey.size(), kKey) != 0) continue;
        const std::size_t digits = line.find_first_not_of(" \t", kKey.size());
        int count = 0;
        if (digits != std::string::npos) {
            std::from_chars(line.data() + digits, line.data() + line.size(), count);
        }
        return count;
    }
    return 0;
}

using CapabilitySets = std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>;

bool GetCapabilities(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, sets.data()) == 0;
}

bool DropCapabilities(LockDownResult& result) {
    CapabilitySets sets{};
    if (!GetCapabilities(sets)) {
        AddProblem(result, "capget", errno);
        return false;
    }
    const bool canSetBits = (sets[CAP_SETPCAP / 32].effective & (1U << (CAP_SETPCAP % 32))) != 0;
    if (canSetBits) {
        // Locked, so that a process running as uid 0 gets no capabilities back from an execve
        // or a change of uid, and no later code can undo that.
        const int bits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
        const unsigned long wanted = SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                     SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
                                     SECBIT_NO_CAP_AMBIENT_RAISE |
                                     SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED;
        // Bits a parent set and locked stay: clearing a locked bit would fail.
        if (bits < 0 ||
            prctl(PR_SET_SECUREBITS, static_cast<unsigned long>(bits) | wanted, 0, 0, 0) != 0) {
            AddProblem(result, "prctl(PR_SET_SECUREBITS)", errno);
            return false;
        }
        // The bounding set ends where the kernel's capabilities end: EINVAL past the last.
        for (unsigned long capability = 0;; ++capability) {
            if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) == 0) continue;
            if (errno == EINVAL && capability > 0) break;
            AddProblem(result, "prctl(PR_CAPBSET_DROP)", errno);
            return false;
        }
    }
    // EINVAL: a kernel older than ambient capabilities, so there are none to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        AddProblem(result, "prctl(PR_CAP_AMBIENT_CLEAR_ALL)", errno);
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    sets = {};
    if (syscall(SYS_capset, &header, sets.data()) != 0) {
        AddProblem(result, "capset", errno);
        return false;
    }
    // The kernel keeps the ambient set within permitted and inheritable: both empty, so is it.
    if (!GetCapabilities(sets)) {
        AddProblem(result, "capget after capset", errno);
        return false;
    }
    for (const auto& set : sets) {
        if (set.effective != 0 || set.permitted != 0 || set.inheritable != 0) {
            AddProblem(result, "capabilities left after capset", 0);
            return false;
        }
    }
    result.capabilitiesDropped = true;
    return true;
}

// The kernel's struct landlock_ruleset_attr as of ABI 6; the installed header's may end after
// the first field. The kernel reads as many bytes as it is told, so an older ABI gets the
// prefix it knows.
struct RulesetAttr {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};
static_assert(offsetof(landlock_ruleset_attr, handled_access_fs) == 0 &&
              sizeof(landlock_ruleset_attr) <= sizeof(RulesetAttr));

// Handles every right the ABI knows and grants none: nothing can be opened, made, renamed or
// removed afterwards, nor (ABI 4) a TCP port bound or connected to, nor (ABI 6) an abstract
// unix socket reached or a process outside the sandbox signalled. Descriptors opened before
// keep working.
void CloseFileSystem(LockDownResult& result) {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                             static_cast<unsigned long>(LANDLOCK_CREATE_RULESET_VERSION));
    if (abi < 0) {
        // Not built into the kernel, or not enabled at boot: nothing to apply.
        if (errno != ENOSYS && errno != EOPNOTSUPP) AddProblem(result, "Landlock ABI", errno);
        return;
    }
    result.landlockAbi = static_cast<int>(abi);

    RulesetAttr attr;
    attr.handledAccessFs =
        LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
        LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR |
        LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
        LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
        LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    std::size_t size = offsetof(RulesetAttr, handledAccessNet);
    if (abi >= 4) {
        attr.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
        size = sizeof(RulesetAttr);
    }

    const UniqueFd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
    if (!ruleset.valid()) {
        AddProblem(result, "landlock_create_ruleset", errno);
        return;
    }
    if (syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
        AddProblem(result, "landlock_restrict_self", errno);
        return;
    }
    result.fileSystemClosed = true;
}

struct FilterRelease {
    void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterRelease>;

// What the helper still does once set up: reads the memory-mapped capture ring and the eBPF
// ring buffer, polls, writes frames to its parent, asks libpcap's counters (getsockopt), reads
// a map, allocates, and exits (or aborts). Everything else fails with EPERM, which the helper
// reports, rather than killing it: a newer C library may make a call this list does not know.
constexpr std::array kAllowed = {
    "read",        "readv",           "pread64",      "write",          "writev",
    "recvfrom",    "recvmsg",         "sendto",       "sendmsg",        "poll",
    "ppoll",       "epoll_wait",      "epoll_pwait",  "getsockopt",     "close",
    "fstat",       "newfstatat",      "lseek",        "munmap",         "mremap",
    "brk",         "madvise",         "futex",        "clock_gettime",  "clock_nanosleep",
    "nanosleep",   "gettimeofday",    "getpid",       "gettid",         "getppid",
    "sched_yield", "getrandom",       "rt_sigreturn", "rt_sigprocmask", "rt_sigaction",
    "sigaltstack", "restart_syscall", "exit",         "exit_group",     "tgkill",
    "rseq",        "set_robust_list",
};

bool FilterSystemCalls(LockDownResult& result) {
    const Filter filter(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
    if (!filter) {
        AddProblem(result, "seccomp_init", 0);
        return false;
    }
    // libseccomp returns negative error numbers.
    if (const int rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_NNP, 1); rc != 0) {
        AddProblem(result, "seccomp_attr_set(SCMP_FLTATR_CTL_NNP)", -rc);
        return false;
    }
    const auto allow = [&](const char* name, std::initializer_list<scmp_arg_cmp> conditions) {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR) {
            AddProblem(result, std::string("libseccomp does not know ") + name, 0);
            return false;
        }
        const int rc = seccomp_rule_add_array(filter.get(), SCMP_ACT_ALLOW, number,
                                              static_cast<unsigned int>(conditions.size()),
                                              conditions.begin());
        if (rc != 0) AddProblem(result, std::string("seccomp_rule_add ") + name, -rc);
        return rc == 0;
    };
    // A call this architecture lacks (aarch64 has no poll) resolves to a negative stand-in,
    // which libseccomp accepts and leaves out of the filter.
    for (const char* name : kAllowed) {
        if (!allow(name, {})) return false;
    }
    // New memory, but never executable memory.
    const scmp_arg_cmp notExecutable{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};
    // Reading a map is the one eBPF command left. The command is an int: only the low half of
    // the register counts.
    const scmp_arg_cmp lookupOnly{0, SCMP_CMP_MASKED_EQ, 0xFFFFFFFFU, BPF_MAP_LOOKUP_ELEM};
    if (!allow("mmap", {notExecutable}) || !allow("mprotect", {notExecutable}) ||
        !allow("bpf", {lookupOnly})) {
        return false;
    }
    if (const int rc = seccomp_load(filter.get()); rc != 0) {
        AddProblem(result, "seccomp_load", -rc);
        return false;
    }
    result.systemCallsFiltered = true;
    return true;
}

}  // namespace

bool LockDown(LockDownResult& result) {
    result = {};
    // A sanitizer runtime may run a thread of its own; the filters are not applied there.
    if (!kSanitizerRuntime) {
        if (const int threads = ThreadCount(); threads > 1) {
            AddProblem(result,
                       "not locked down: " + std::to_string(threads) +
                           " threads run, and only the calling one would be",
                       0);
            return false;
        }
    }
    // Not dumpable: no core file with the capture's frames, and no ptrace by the same user.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        AddProblem(result, "prctl(PR_SET_DUMPABLE)", errno);
    }

    bool locked = DropCapabilities(result);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) {
        result.noNewPrivileges = true;
    } else {
        AddProblem(result, "prctl(PR_SET_NO_NEW_PRIVS)", errno);
        locked = false;
    }
    if (!kSanitizerRuntime) {
        CloseFileSystem(result);
        locked = FilterSystemCalls(result) && locked;
    }
    return locked;
}

}  // namespace ravelin
