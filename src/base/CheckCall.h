#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ravelin {

/// What a failed platform call left behind: its error number (errno or a libpcap status) and,
/// where the platform gives one, its reason in words.
struct SystemError {
    int code = 0;
    std::string reason;
};

/// Shows the failure text of CheckCall to the user: a message box in the window, standard
/// error in the headless mode. May block until the user has seen it.
class ErrorReporter {
public:
    virtual ~ErrorReporter() = default;
    virtual void ShowError(std::string_view text) = 0;
};

/// The text that CheckCall reports: "<message>\nError code: <code>", and the platform's reason
/// on a further line where there is one.
std::string FailureText(std::string_view message, const SystemError& error);

/// Checks a platform call's result against a reference value and reports a failure.
///
/// The call succeeded when `result` equals `reference` if `successIfEqual` is set, or differs
/// from it if not. For capture calls (`socketError`), the two error numbers that stand for an
/// unsupported or invalid request of a capability the design treats as optional (EOPNOTSUPP,
/// EINVAL) count as success and are not shown. Returns true to go on, false when a failure was
/// reported.
bool CheckCall(std::int64_t result, std::int64_t reference, bool successIfEqual, bool socketError,
               std::string_view message, const SystemError& error, ErrorReporter& reporter);

}  // namespace ravelin
