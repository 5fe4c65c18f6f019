#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ravelin::test {

/// A door that threads wait at, with a deadline, until another thread opens it. Opening it
/// again is harmless, so a test can open it on every path out.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    /// True when the gate opened before the deadline.
    bool WaitFor(std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, deadline, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

}  // namespace ravelin::test
