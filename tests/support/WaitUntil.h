#pragma once

#include <chrono>
#include <thread>

namespace ravelin::test {

/// How long a test waits for what must happen before it calls it a failure. Only a failing run
/// waits it out, so it is long enough for a sanitizer build on a machine busy with other work.
inline constexpr std::chrono::seconds kDeadline{120};

/// Checks `condition` until it holds or `limit` has passed; true when it held. For states that
/// give no event to wait on, such as a kernel table catching up.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = kDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling interval
    }
}

}  // namespace ravelin::test
