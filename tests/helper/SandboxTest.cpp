#include "helper/Sandbox.h"

#include <fcntl.h>
#include <linux/bpf.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <sstream>
#include <string>

#include "base/UniqueFd.h"
#include "support/TempDir.h"

// The same switch as LockDown's: built with a sanitizer, it applies no Landlock and no filter.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RAVELIN_TEST_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAVELIN_TEST_SANITIZER_RUNTIME 1
#endif
#endif

namespace ravelin {
namespace {

#ifdef RAVELIN_TEST_SANITIZER_RUNTIME
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

constexpr uid_t kNobody = 65534;
constexpr const char* kNoCapabilities = "0000000000000000";

using Report = std::map<std::string, std::string>;

/// "0" when a call succeeded, else the errno it left.
std::string Outcome(long returned) {
    return std::to_string(returned < 0 ? errno : 0);
}

long Bpf(int command) {
    bpf_attr attr{};
    attr.map_fd = static_cast<__u32>(-1);
    return syscall(SYS_bpf, command, &attr, sizeof attr);
}

/// The child: locks itself down, then tries what the helper keeps and what it must have lost,
/// and writes "key=value" lines to `reportFd`, a pipe end it inherited.
[[noreturn]] void LockDownAndTry(int reportFd, const std::string& guardedFile) {
    // Opened before: the kernel's view of this process stays readable after the lock-down.
    const UniqueFd status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    LockDownResult result;
    const bool locked = LockDown(result);

    std::string report;
    const auto add = [&](const std::string& key, const std::string& value) {
        report += key + "=" + value + "\n";
    };
    add("locked", std::to_string(static_cast<int>(locked)));
    add("problem", result.problem);
    add("capabilitiesDropped", std::to_string(static_cast<int>(result.capabilitiesDropped)));
    add("noNewPrivileges", std::to_string(static_cast<int>(result.noNewPrivileges)));
    add("fileSystemClosed", std::to_string(static_cast<int>(result.fileSystemClosed)));
    add("landlockAbi", std::to_string(result.landlockAbi));
    add("systemCallsFiltered", std::to_string(static_cast<int>(result.systemCallsFiltered)));

    std::string text(8192, '\0');
    const ssize_t length = ::pread(status.get(), text.data(), text.size(), 0);
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(":\t");
        if (colon != std::string::npos) add(line.substr(0, colon), line.substr(colon + 2));
    }

    add("openHostname", Outcome(::open("/etc/hostname", O_RDONLY | O_CLOEXEC)));
    if (!guardedFile.empty()) {
        add("openGuarded", Outcome(::open(guardedFile.c_str(), O_RDONLY | O_CLOEXEC)));
    }
    add("socket", Outcome(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)));
    add("bpfLookup", Outcome(Bpf(BPF_MAP_LOOKUP_ELEM)));
    add("bpfUpdate", Outcome(Bpf(BPF_MAP_UPDATE_ELEM)));
    add("bpfLoad", Outcome(Bpf(BPF_PROG_LOAD)));
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    add("mmap", Outcome(page == MAP_FAILED ? -1 : 0));
    add("mprotectRead", Outcome(::mprotect(page, 4096, PROT_READ)));
    add("mprotectExec", Outcome(::mprotect(page, 4096, PROT_READ | PROT_EXEC)));
    void* code = ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    add("mmapExec", Outcome(code == MAP_FAILED ? -1 : 0));
    // Signal 0 only asks: the parent runs as the same user, so nothing but a Landlock scope
    // stands in the way.
    add("signalParent", Outcome(syscall(SYS_tgkill, ::getppid(), ::getppid(), 0)));
    if (!kSanitizerBuild) {  // without the filter it would succeed and the report be lost
        char program[] = "/bin/true";
        char* const arguments[] = {program, nullptr};
        add("execve", Outcome(::execve(program, arguments, environ)));
    }

    std::size_t written = 0;
    while (written < report.size()) {
        const ssize_t n = ::write(reportFd, report.data() + written, report.size() - written);
        if (n <= 0) ::_exit(1);
        written += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

/// Runs LockDownAndTry in a child and returns its report, or an empty one when it failed.
Report LockDownInChild(const std::string& guardedFile) {
    int ends[2] = {};
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t child = ::fork();
    if (child < 0) return {};
    if (child == 0) {
        readEnd.Reset();
        LockDownAndTry(writeEnd.get(), guardedFile);
    }
    writeEnd.Reset();
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(readEnd.get(), chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "the child ended with status " << status << " after writing\n" << text;
        return {};
    }
    Report report;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return report;
}

/// The ABI the kernel reports, or 0 without Landlock.
int KernelLandlockAbi() {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

std::string ErrnoOf(int code) {
    return std::to_string(code);
}

bool HasEffectiveCapability(int capability) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) return false;
    return (sets[capability / 32].effective & (1U << (capability % 32))) != 0;
}

// Run as root (CI does), the child holds every capability before: afterwards none, not even
// in the bounding set, and a file of another user is out of reach of uid 0.
TEST(LockDownTest, DropsEveryCapabilityForGood) {
    const test::TempDir directory;
    const bool root = ::geteuid() == 0 && HasEffectiveCapability(CAP_CHOWN) &&
                      HasEffectiveCapability(CAP_DAC_OVERRIDE);
    std::string guardedFile;
    if (root) {
        guardedFile = (directory.path() / "guarded").string();
        const UniqueFd file(::open(guardedFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        ASSERT_TRUE(file.valid()) << "errno " << errno;
        ASSERT_EQ(::fchown(file.get(), kNobody, kNobody), 0) << "errno " << errno;
    }
    // Only with CAP_SETPCAP can a process empty its bounding set.
    const bool boundable = HasEffectiveCapability(CAP_SETPCAP);
    Report report = LockDownInChild(guardedFile);
    ASSERT_FALSE(report.empty());

    EXPECT_EQ(report["locked"], "1");
    EXPECT_EQ(report["problem"], "");
    EXPECT_EQ(report["capabilitiesDropped"], "1");
    EXPECT_EQ(report["noNewPrivileges"], "1");
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
        EXPECT_EQ(report[set], kNoCapabilities) << set;
    }
    EXPECT_EQ(report["NoNewPrivs"], "1");
    if (boundable) {
        EXPECT_EQ(report["CapBnd"], kNoCapabilities);
    }
    if (root) {
        // Without CAP_DAC_OVERRIDE; under the filter the open is refused even sooner.
        EXPECT_EQ(report["openGuarded"], ErrnoOf(kSanitizerBuild ? EACCES : EPERM));
    }
    if (kSanitizerBuild) {
        EXPECT_EQ(report["fileSystemClosed"], "0");
        EXPECT_EQ(report["systemCallsFiltered"], "0");
    }
}

TEST(LockDownTest, RefusesWhatTheHelperNoLongerNeeds) {
    if (kSanitizerBuild) GTEST_SKIP() << "a sanitizer build applies no Landlock and no filter";
    Report report = LockDownInChild("");
    ASSERT_FALSE(report.empty());

    EXPECT_EQ(report["locked"], "1");
    EXPECT_EQ(report["problem"], "");
    EXPECT_EQ(report["systemCallsFiltered"], "1");
    EXPECT_EQ(report["Seccomp"], "2");  // a filter
    const int abi = KernelLandlockAbi();
    EXPECT_EQ(report["landlockAbi"], std::to_string(abi));
    EXPECT_EQ(report["fileSystemClosed"], abi > 0 ? "1" : "0");

    // Each of these the kernel would have allowed this process (or refused otherwise).
    EXPECT_EQ(report["openHostname"], ErrnoOf(EPERM));
    EXPECT_EQ(report["socket"], ErrnoOf(EPERM));
    EXPECT_EQ(report["execve"], ErrnoOf(EPERM));
    EXPECT_EQ(report["bpfUpdate"], ErrnoOf(EPERM));  // the kernel: EBADF
    EXPECT_EQ(report["bpfLoad"], ErrnoOf(EPERM));
    EXPECT_EQ(report["mprotectExec"], ErrnoOf(EPERM));
    EXPECT_EQ(report["mmapExec"], ErrnoOf(EPERM));
    // What the helper keeps doing reaches the kernel: the bad descriptor is its answer.
    EXPECT_EQ(report["bpfLookup"], ErrnoOf(EBADF));
    EXPECT_EQ(report["mmap"], "0");
    EXPECT_EQ(report["mprotectRead"], "0");
    // Landlock's signal scope (ABI 6) keeps the parent out of reach; tgkill passes the filter.
    EXPECT_EQ(report["signalParent"], abi >= 6 ? ErrnoOf(EPERM) : "0");
}

}  // namespace
}  // namespace ravelin
