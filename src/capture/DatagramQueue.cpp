#include "capture/DatagramQueue.h"

namespace ravelin {

std::unique_ptr<DatagramBatch> DatagramQueue::TakeEmpty() {
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            auto batch = std::move(spare_.back());
            spare_.pop_back();
            return batch;
        }
    }
    return std::make_unique<DatagramBatch>();
}

void DatagramQueue::GiveBack(std::unique_ptr<DatagramBatch> batch) {
    batch->Clear();
    std::lock_guard lock(mutex_);
    if (spare_.size() < capacity_ + 2) spare_.push_back(std::move(batch));
}

bool DatagramQueue::Push(std::unique_ptr<DatagramBatch> batch) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelled_ || closed_ || queued_.size() < capacity_; });
    if (cancelled_ || closed_) return false;
    queued_.push_back(std::move(batch));
    changed_.notify_all();
    return true;
}

std::unique_ptr<DatagramBatch> DatagramQueue::Pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelled_ || closed_ || !queued_.empty(); });
    if (cancelled_ || queued_.empty()) return nullptr;
    auto batch = std::move(queued_.front());
    queued_.pop_front();
    changed_.notify_all();
    return batch;
}

void DatagramQueue::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

void DatagramQueue::Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    queued_.clear();
    changed_.notify_all();
}

bool DatagramQueue::HasQueued() const {
    std::lock_guard lock(mutex_);
    return !queued_.empty();
}

}  // namespace ravelin
