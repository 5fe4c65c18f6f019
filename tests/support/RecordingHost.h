#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureSession.h"

namespace ravelin::test {

/// A session host that remembers what the session told it.
class RecordingHost : public SessionHost, public ErrorReporter {
public:
    ErrorReporter& reporter() override { return *this; }
    void ShowError(std::string_view text) override {
        std::lock_guard lock(mutex_);
        errors.emplace_back(text);
    }
    void OnStateChanged(CaptureState changed) override {
        state = changed;
        ++stateChanges;
    }
    void OnCaptureEnded() override {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    /// Waits until the session says that capture ended by itself.
    bool WaitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        const bool ended = changed_.wait_for(lock, limit, [&] { return ended_; });
        ended_ = false;
        return ended;
    }

    std::vector<std::string> Errors() {
        std::lock_guard lock(mutex_);
        return errors;
    }

    CaptureState state = CaptureState::kStopped;
    int stateChanges = 0;
    /// Texts a test shows here (activity lines of the window's parts).
    std::string status;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> errors;
    bool ended_ = false;
};

}  // namespace ravelin::test
