#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace ravelin {

/// What a failed platform call left behind: its error number (errno or a libpcap status) and,
/// where the platform gives one, its reason in words.
struct SystemError {
    int code = 0;
    std::string reason;

    /// The error of an errno value, with the system's words for it.
    static SystemError FromErrno(int code);
};

/// How a platform call (or a step that stands for one) ended: success, or the error it left.
class CallResult {
public:
    static CallResult Success() { return CallResult(); }
    static CallResult Failure(SystemError error) { return CallResult(std::move(error)); }

    bool succeeded() const { return succeeded_; }
    /// Meaningful only after a failure.
    const SystemError& error() const { return error_; }

private:
    CallResult() = default;
    explicit CallResult(SystemError error) : succeeded_(false), error_(std::move(error)) {}

    bool succeeded_ = true;
    SystemError error_;
};

/// Shows the failure text of CheckCall to the user: a message box in the window, standard
/// error in the headless mode. May block until the user has seen it.
class ErrorReporter {
public:
    virtual ~ErrorReporter() = default;
    virtual void ShowError(std::string_view text) = 0;
};

/// Which failures CheckCall lets pass as success.
enum class PassedErrors {
    kNone,
    /// Capture calls: an unsupported or invalid request of a capability that capture can do
    /// without (EOPNOTSUPP, EINVAL).
    kOptionalCaptureFeature,
};

/// The text that CheckCall reports: "<message>\nError code: <code>", and the platform's reason
/// on a further line where there is one.
std::string FailureText(std::string_view message, const SystemError& error);

/// Checks a platform call's result and reports a failure with `message`, which names the call
/// and says what failed. Returns true to go on, false when a failure was reported.
///
///     if (!CheckCall(source.Create(), "pcap_create 创建套接字失败", reporter)) return false;
bool CheckCall(const CallResult& call, std::string_view message, ErrorReporter& reporter,
               PassedErrors passed = PassedErrors::kNone);

/// Whether CheckCall lets this error pass under `passed`.
bool IsPassedError(const SystemError& error, PassedErrors passed);

}  // namespace ravelin
