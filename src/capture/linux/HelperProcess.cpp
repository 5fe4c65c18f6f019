#include "capture/linux/HelperProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX names it, no header

namespace ravelin {

namespace {

constexpr int kHelperStreamFd = 3;
constexpr auto kEndWait = std::chrono::seconds(1);

// What the helper's environment keeps: it needs none of the rest, and a program with file
// capabilities should not be handed what it does not read.
constexpr std::array<const char*, 5> kPassedVariables = {
    "RAVELIN_LIBBPF_LOG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"};

std::string NotRunnable(const std::string& path, int error) {
    if (error == ENOENT) {
        return "the capture helper " + path +
               " is missing: build the target ravelin-capture, or reinstall Ravelin";
    }
    if (error == EACCES || error == EPERM) {
        return std::string(
                   "the capture helper may not run: live capture is for the members of "
                   "the group ") +
               kCaptureGroup + " (sudo usermod -aG " + kCaptureGroup +
               " $USER, then log in again); replaying a capture file needs no rights";
    }
    return "cannot start the capture helper " + path + ": " + SystemError::FromErrno(error).reason;
}

}  // namespace

std::string DefaultCaptureHelperPath() {
    if (const char* chosen =
            std::getenv("RAVELIN_CAPTURE_HELPER");  // NOLINT(concurrency-mt-unsafe)
        chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "/usr/libexec/ravelin/ravelin-capture";
    const std::filesystem::path beside = self.parent_path() / "ravelin-capture";
    if (std::filesystem::exists(beside, error)) return beside.string();
    return (self.parent_path().parent_path() / "libexec" / "ravelin" / "ravelin-capture").string();
}

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::string& path,
                                                    const std::vector<std::string>& arguments,
                                                    SystemError& error) {
    std::array<int, 2> ends{};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        error = SystemError::FromErrno(errno);
        return nullptr;
    }
    UniqueFd ours(ends[0]);
    UniqueFd theirs(ends[1]);
    // dup2 onto itself would keep close-on-exec set.
    if (theirs.get() == kHelperStreamFd) theirs.Reset(fcntl(ends[1], F_DUPFD_CLOEXEC, 10));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), kHelperStreamFd);
    // Its diagnostics go where Ravelin's do; it has nothing to read or print.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &none);  // the headless mode blocks SIGINT/SIGTERM
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argumentStrings{path};
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentStrings.size() + 1);
    for (std::string& argument : argumentStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (const char* name : kPassedVariables) {
        if (const char* value = std::getenv(name)) {  // NOLINT(concurrency-mt-unsafe)
            variables.push_back(std::string(name) + "=" + value);
        }
    }
    std::vector<char*> envp;
    envp.reserve(variables.size() + 1);
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int status =
        posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) {
        error = {status, NotRunnable(path, status)};
        return nullptr;
    }
    return std::make_unique<HelperProcess>(Token(), pid, std::move(ours));
}

HelperProcess::HelperProcess(Token, pid_t pid, UniqueFd stream)
    : pid_(pid), stream_(std::move(stream)) {}

HelperProcess::~HelperProcess() {
    stream_.Reset();
    if (!AwaitEnd()) Kill();
}

bool HelperProcess::AwaitEnd() {
    const auto deadline = std::chrono::steady_clock::now() + kEndWait;
    while (!Reap(WNOHANG) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return reaped_;
}

bool HelperProcess::Reap(int options) {
    if (reaped_) return true;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, options);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
        reaped_ = true;
        status_ = done == pid_ ? status : 0;
    }
    return reaped_;
}

void HelperProcess::Kill() {
    if (reaped_) return;
    // Not reaped, so the id is still ours however long ago the helper ended.
    kill(pid_, SIGKILL);
    Reap(0);
}

std::string HelperProcess::HowItEnded() {
    if (!AwaitEnd()) return "still running";
    if (WIFSIGNALED(status_)) {
        return "killed by signal " + std::to_string(WTERMSIG(status_)) + " (" +
               strsignal(WTERMSIG(status_)) + ")";  // NOLINT(concurrency-mt-unsafe)
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status_));
}

}  // namespace ravelin
