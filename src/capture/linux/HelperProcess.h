#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "base/CheckCall.h"
#include "base/UniqueFd.h"

namespace ravelin {

/// The group whose members may run the capture helper: only they (and root) capture live.
constexpr const char* kCaptureGroup = "ravelin";

/// Where the capture helper is: $RAVELIN_CAPTURE_HELPER where set, else beside this program
/// (a build tree), else ../libexec/ravelin/ beside it (an installed package).
std::string DefaultCaptureHelperPath();

/// One run of the capture helper, joined to Ravelin by a socket pair on its descriptor 3. It
/// has a process group of its own, so that a Ctrl+C meant for Ravelin reaches Ravelin alone,
/// which then ends the helper by closing the stream.
class HelperProcess {
    struct Token {  // only Start constructs
        explicit Token() = default;
    };

public:
    /// Starts `path` with `arguments`; nothing, with `error` set in words a user can act on,
    /// where it cannot run (missing, or the user is not in the group).
    static std::unique_ptr<HelperProcess> Start(const std::string& path,
                                                const std::vector<std::string>& arguments,
                                                SystemError& error);

    HelperProcess(Token, pid_t pid, UniqueFd stream);
    /// Closes the stream, which ends the helper, and waits for it (killing it after a second).
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    int stream() const { return stream_.get(); }
    /// After the stream ended: how the helper ended ("exited with status 1", "killed by signal
    /// 11 (Segmentation fault)"), waiting for it a moment.
    std::string HowItEnded();
    /// Ends the helper at once (it sent what Ravelin cannot read).
    void Kill();

private:
    bool Reap(int options);
    /// Reaps the helper if it ends within a second; false when it is still running.
    bool AwaitEnd();

    pid_t pid_;
    UniqueFd stream_;
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace ravelin
