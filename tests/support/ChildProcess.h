#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

namespace ravelin::test {

/// A child process run from a program and its arguments (looked up in PATH), with pipes on its
/// standard input and output. Killed and reaped when dropped, so no test leaves it behind.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// The child's pid; -1 when it could not be started (see error()).
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

    /// The next line the child writes, without its newline; nothing when none comes in time or
    /// the child closed its output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit);
    /// Closes the child's standard input: a child that reads it to the end then goes on.
    void CloseInput() { input_.Reset(); }
    /// Waits for the child to end and reaps it; false when it is still running after `limit`.
    bool WaitForExit(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string error_;
    UniqueFd input_;
    UniqueFd output_;
    UniqueFd exitFd_;  // pidfd: readable once the child has ended
    std::string pending_;
};

}  // namespace ravelin::test
