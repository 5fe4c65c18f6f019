#include "base/CheckCall.h"

#include <cerrno>
#include <cstring>

namespace ravelin {

SystemError SystemError::FromErrno(int code) {
    // strerror shares one buffer between threads; capture, lookups and the window each fail
    // on their own thread.
    char buffer[256] = {};
    return {code, strerror_r(code, buffer, sizeof buffer)};
}

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

bool IsPassedError(const SystemError& error, PassedErrors passed) {
    return passed == PassedErrors::kOptionalCaptureFeature &&
           (error.code == EOPNOTSUPP || error.code == EINVAL);
}

bool CheckCall(const CallResult& call, std::string_view message, ErrorReporter& reporter,
               PassedErrors passed) {
    if (call.succeeded() || IsPassedError(call.error(), passed)) return true;
    reporter.ShowError(FailureText(message, call.error()));
    return false;
}

}  // namespace ravelin
