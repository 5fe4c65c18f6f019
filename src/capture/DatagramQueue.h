#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/DatagramBatch.h"

namespace ravelin {

/// Hands batches of datagrams from the receive thread to the pipeline thread in order, and
/// the emptied batches back for reuse. Bounded by the number of batches and by the memory they
/// hold: a producer that runs ahead waits, so a file is not read into memory faster than it is
/// listed (a live capture then drops in the kernel, where libpcap counts it), and large
/// datagrams on loopback cannot pile up gigabytes.
class DatagramQueue {
public:
    /// A batch whose buffers grew beyond this is freed when given back, not kept for reuse.
    static constexpr std::size_t kReusableBatchBytes = std::size_t{4} << 20;

    DatagramQueue(std::size_t capacityBatches, std::size_t capacityBytes)
        : capacity_(capacityBatches), capacityBytes_(capacityBytes) {}

    /// An empty batch, reused where one was given back.
    std::unique_ptr<DatagramBatch> TakeEmpty();
    /// Gives an emptied batch back.
    void GiveBack(std::unique_ptr<DatagramBatch> batch);

    /// Waits while the queue is full: it holds `capacityBatches` batches, or adding this one
    /// would take the memory of the queued batches beyond `capacityBytes` (a batch larger than
    /// that alone waits for an empty queue). A producer that had to wait is woken when the
    /// queue has drained to half, not at every batch taken, so that a file read faster than it
    /// is listed does not switch threads once a batch. False when the queue was cancelled or
    /// closed.
    bool Push(std::unique_ptr<DatagramBatch> batch);
    /// Waits for the next batch; nothing when the queue is cancelled, or closed and drained.
    std::unique_ptr<DatagramBatch> Pop();

    /// No more batches will come; the consumer drains what is queued.
    void Close();
    /// Ends both sides now; what is queued is dropped.
    void Cancel();
    /// True when Pop would not wait.
    bool HasQueued() const;
    /// The memory of the queued batches.
    std::size_t QueuedBytes() const;

private:
    const std::size_t capacity_;
    const std::size_t capacityBytes_;
    std::size_t queuedBytes_ = 0;  // guarded by mutex_
    std::size_t spareBytes_ = 0;   // guarded by mutex_
    mutable std::mutex mutex_;
    std::condition_variable hasBatch_;  // the consumer waits on it
    std::condition_variable hasRoom_;   // the producer waits on it
    bool producerWaits_ = false;        // guarded by mutex_
    std::deque<std::unique_ptr<DatagramBatch>> queued_;
    std::vector<std::unique_ptr<DatagramBatch>> spare_;
    bool closed_ = false;
    bool cancelled_ = false;
};

}  // namespace ravelin
