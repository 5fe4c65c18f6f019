#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace ravelin::test {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        error_ = std::strerror(errno);
        return;
    }
    UniqueFd childInput(toChild[0]);
    input_.Reset(toChild[1]);
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        error_ = std::strerror(errno);
        return;
    }
    output_.Reset(fromChild[0]);
    UniqueFd childOutput(fromChild[1]);

    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copies, so only these two ends reach the child.
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDOUT_FILENO);
    pid_t pid = -1;
    const int status = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        error_ = std::strerror(status);
        return;
    }
    pid_ = pid;
    exitFd_.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0 || reaped_) return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        pollfd ready{output_.get(), POLLIN, 0};
        const int count = poll(&ready, 1, RemainingMs(deadline));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;
        char chunk[512];
        const ssize_t length = read(output_.get(), chunk, sizeof(chunk));
        if (length <= 0) return std::nullopt;
        pending_.append(chunk, static_cast<std::size_t>(length));
    }
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || reaped_) return reaped_;
    if (!exitFd_.valid()) return false;  // no way to wait with a limit
    pollfd ready{exitFd_.get(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int count;
    while ((count = poll(&ready, 1, RemainingMs(deadline))) < 0 && errno == EINTR) {
    }
    if (count <= 0) return false;
    int status = 0;
    pid_t result;
    while ((result = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    reaped_ = result == pid_;
    return reaped_;
}

}  // namespace ravelin::test
