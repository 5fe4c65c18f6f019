#include "capture/DatagramQueue.h"

namespace ravelin {

std::unique_ptr<DatagramBatch> DatagramQueue::TakeEmpty() {
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            auto batch = std::move(spare_.back());
            spare_.pop_back();
            spareBytes_ -= batch->memoryBytes();
            return batch;
        }
    }
    return std::make_unique<DatagramBatch>();
}

void DatagramQueue::GiveBack(std::unique_ptr<DatagramBatch> batch) {
    batch->Clear();
    const std::size_t bytes = batch->memoryBytes();
    // A batch that a burst of large datagrams grew is freed; kept, it would hold its peak size.
    if (bytes > kReusableBatchBytes) return;
    std::lock_guard lock(mutex_);
    if (spare_.size() >= capacity_ + 2 || spareBytes_ + bytes > capacityBytes_) return;
    spareBytes_ += bytes;
    spare_.push_back(std::move(batch));
}

bool DatagramQueue::Push(std::unique_ptr<DatagramBatch> batch) {
    const std::size_t bytes = batch->memoryBytes();
    std::unique_lock lock(mutex_);
    const auto fits = [&] {
        return cancelled_ || closed_ || queued_.empty() ||
               (queued_.size() < capacity_ && queuedBytes_ + bytes <= capacityBytes_);
    };
    if (!fits()) {
        producerWaits_ = true;
        hasRoom_.wait(lock, fits);
        producerWaits_ = false;
    }
    if (cancelled_ || closed_) return false;
    queuedBytes_ += bytes;
    queued_.push_back(std::move(batch));
    hasBatch_.notify_one();
    return true;
}

std::unique_ptr<DatagramBatch> DatagramQueue::Pop() {
    std::unique_lock lock(mutex_);
    hasBatch_.wait(lock, [&] { return cancelled_ || closed_ || !queued_.empty(); });
    if (cancelled_ || queued_.empty()) return nullptr;
    auto batch = std::move(queued_.front());
    queued_.pop_front();
    queuedBytes_ -= batch->memoryBytes();
    if (producerWaits_ && queued_.size() <= capacity_ / 2 && queuedBytes_ <= capacityBytes_ / 2) {
        hasRoom_.notify_one();
    }
    return batch;
}

void DatagramQueue::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    hasBatch_.notify_all();
    hasRoom_.notify_all();
}

void DatagramQueue::Cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    queued_.clear();
    queuedBytes_ = 0;
    hasBatch_.notify_all();
    hasRoom_.notify_all();
}

bool DatagramQueue::HasQueued() const {
    std::lock_guard lock(mutex_);
    return !queued_.empty();
}

std::size_t DatagramQueue::QueuedBytes() const {
    std::lock_guard lock(mutex_);
    return queuedBytes_;
}

}  // namespace ravelin
