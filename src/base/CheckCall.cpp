#include "base/CheckCall.h"

#include <cerrno>

namespace ravelin {

std::string FailureText(std::string_view message, const SystemError& error) {
    std::string text(message);
    text += "\nError code: ";
    text += std::to_string(error.code);
    if (!error.reason.empty()) {
        text += '\n';
        text += error.reason;
    }
    return text;
}

bool CheckCall(std::int64_t result, std::int64_t reference, bool successIfEqual, bool socketError,
               std::string_view message, const SystemError& error, ErrorReporter& reporter) {
    const bool succeeded = successIfEqual ? result == reference : result != reference;
    if (succeeded) return true;
    if (socketError && (error.code == EOPNOTSUPP || error.code == EINVAL)) return true;
    reporter.ShowError(FailureText(message, error));
    return false;
}

}  // namespace ravelin
