#include "attribution/ProcessTreeRefreshThread.h"

#include <utility>

namespace ravelin {

ProcessTreeRefreshThread::ProcessTreeRefreshThread(ProcessTree& tree,
                                                   std::chrono::milliseconds period,
                                                   std::function<void()> refreshed)
    : tree_(tree), period_(period), refreshed_(std::move(refreshed)), thread_([this] { Run(); }) {}

ProcessTreeRefreshThread::~ProcessTreeRefreshThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ProcessTreeRefreshThread::Run() {
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, period_, [this] { return stopping_; })) return;
        }
        tree_.RefreshProcessTree();
        refreshed_();
    }
}

}  // namespace ravelin
