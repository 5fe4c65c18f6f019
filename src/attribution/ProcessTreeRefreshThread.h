#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "attribution/ProcessTree.h"

namespace ravelin {

/// Refreshes a process tree on a thread of its own every period, then calls `refreshed` there:
/// a refresh probes every new process and reads the socket tables, which must not hold up the
/// thread that shows the tree. That one hears of it through `refreshed`.
class ProcessTreeRefreshThread {
public:
    /// The tree, and whatever `refreshed` calls, must outlive the thread.
    ProcessTreeRefreshThread(ProcessTree& tree, std::chrono::milliseconds period,
                             std::function<void()> refreshed);
    /// Waits for a running refresh.
    ~ProcessTreeRefreshThread();
    ProcessTreeRefreshThread(const ProcessTreeRefreshThread&) = delete;
    ProcessTreeRefreshThread& operator=(const ProcessTreeRefreshThread&) = delete;

private:
    void Run();

    ProcessTree& tree_;
    const std::chrono::milliseconds period_;
    const std::function<void()> refreshed_;
    std::mutex mutex_;  // guards stopping_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace ravelin
