// ravelin-capture: the only part of Ravelin that holds capture rights. Ravelin starts it for
// each live capture with a socket on descriptor 3; see CaptureHelper.h.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "helper/CaptureHelper.h"

namespace {

constexpr int kStreamFd = 3;

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto options = ravelin::ParseHelperArguments(arguments, error);
    if (!options) {
        (void)std::fprintf(stderr,
                           "ravelin-capture: %s\n"
                           "usage: ravelin-capture --device NAME [--inbound-only] "
                           "[--attribution none|events|connections]\n"
                           "       ravelin-capture --probe-events\n"
                           "Ravelin starts it with a socket on descriptor 3.\n",
                           error.c_str());
        return 2;
    }
    return ravelin::RunCaptureHelper(*options, kStreamFd);
}
