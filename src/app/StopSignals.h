#pragma once

#include <signal.h>

namespace ravelin {

/// The signals that end a headless run: SIGINT and SIGTERM.
inline sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace ravelin
