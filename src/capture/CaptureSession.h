#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/CheckCall.h"
#include "capture/DatagramQueue.h"
#include "capture/DatagramSink.h"
#include "capture/PacketSource.h"

namespace ravelin {

/// Whether capture runs.
enum class CaptureState { kStopped, kRunning };

/// What the capture session needs of whoever owns it (the capture controller, a test).
class SessionHost {
public:
    virtual ~SessionHost() = default;
    /// Where CheckCall's failure texts go.
    virtual ErrorReporter& reporter() = 0;
    /// Capture has started (kRunning) or stopped (kStopped), however either came about (a
    /// command, a new address, the end of a file, a read error). Called on the owner's thread.
    virtual void OnStateChanged(CaptureState state) = 0;
    /// Capture ended by itself: the file is read to its end, or receiving failed. Called on
    /// the pipeline thread once everything received has been listed; the host then calls
    /// FinishEndedCapture() on its own thread. Must not wait for the host's thread.
    virtual void OnCaptureEnded() = 0;
};

/// Starts, stops and restarts capture on the bound address. Its operations run on the owner's
/// thread; a receive thread reads datagrams from the source and a pipeline thread lists them
/// one after another, in the order they arrived.
class CaptureSession {
public:
    using SourceFactory = std::function<std::unique_ptr<PacketSource>(const IpAddress& address)>;

    /// A batch takes up to this many datagrams, fewer where they are large: about
    /// kBatchBytes, so that its buffer stays small enough to be reused.
    static constexpr std::size_t kBatchDatagrams = 512;
    static constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
    /// The queue between the threads holds at most this many batches, and this much memory.
    static constexpr std::size_t kQueuedBatches = 64;
    static constexpr std::size_t kQueuedBytes = std::size_t{64} << 20;
    /// A source that can wait (a file) is read only this far ahead of the pipeline: more
    /// would be memory held for nothing.
    static constexpr std::size_t kWaitingSourceQueuedBytes = std::size_t{2} << 20;

    /// How the receive thread waits after a read error that capture lets pass (EOPNOTSUPP,
    /// EINVAL): the wait doubles from `firstWait` up to `longestWait`, and after `limit` such
    /// errors in a row the error ends capture like any other.
    struct PassedErrorRetry {
        std::chrono::milliseconds firstWait{1};
        std::chrono::milliseconds longestWait{100};
        int limit = 100;
    };

    CaptureSession(SessionHost& host, DatagramSink& pipeline, SourceFactory sourceFactory);
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    /// Opens the source step by step, checking each step, and starts the threads. True when
    /// capture runs (the host hears kRunning); false after a reported failure, with
    /// everything opened closed again.
    bool Start();
    /// Ends capture: datagrams not yet listed are dropped, both threads are joined, and the host
    /// hears kStopped. Always true; harmless, and silent, when capture is not running.
    bool Stop();
    /// A new bound address; restarts a running capture on it. 0 when capture was not running,
    /// else the result of Start.
    int OnAddressChosen(const IpAddress& address);
    /// The Start/Stop command.
    void OnStartStop();
    /// After SessionHost::OnCaptureEnded: reports a receive failure and stops. True when the
    /// source simply ended, false when a failure was reported.
    bool FinishEndedCapture();
    /// Stops listing further packets at once, from any thread; the owner still calls Stop().
    void Halt() { running_.store(false); }
    /// Where the next start reads from. Call while capture is stopped.
    void SetSourceFactory(SourceFactory sourceFactory) {
        sourceFactory_ = std::move(sourceFactory);
    }
    /// Call while capture is stopped (tests shorten the waits).
    void SetPassedErrorRetry(PassedErrorRetry retry) { retry_ = retry; }
    /// Whether a source that can wait (a file) is read and listed at the lowest priority, so
    /// that a window's thread gets a core at once while a replay keeps both busy. Live capture
    /// always runs at the process's priority: it cannot wait. Call while capture is stopped.
    void SetYieldWhileReplaying(bool yield) { yieldWhileReplaying_ = yield; }

    bool running() const { return running_.load(); }
    IpAddress boundAddress() const;
    std::string boundAddressText() const;
    /// When the first datagram of the current capture was read, if one was.
    std::optional<std::chrono::steady_clock::time_point> firstReadTime() const;
    /// The kernel's counters of the running live capture.
    std::optional<CaptureStatistics> Statistics();

private:
    bool CheckStep(const CallResult& result, PacketSource::Step step);
    void ReceiveLoop(PacketSource& source, DatagramQueue& queue);
    /// Waits for the receive thread's retry, or until Stop; false when capture stopped.
    bool WaitBeforeRetry(std::chrono::milliseconds wait);
    void PipelineLoop(DatagramQueue& queue);

    SessionHost& host_;
    DatagramSink& pipeline_;
    SourceFactory sourceFactory_;

    std::atomic<bool> running_{false};
    mutable std::mutex boundMutex_;
    IpAddress boundAddress_;  // guarded by boundMutex_
    std::atomic<std::int64_t> firstReadNanoseconds_{0};

    // Owned by the owner's thread; the receive thread uses the source until it is joined.
    std::unique_ptr<PacketSource> source_;
    std::unique_ptr<DatagramQueue> queue_;
    std::thread receiveThread_;
    std::thread pipelineThread_;

    std::mutex failureMutex_;
    std::optional<SystemError> receiveFailure_;
    bool receiveFailureRepeated_ = false;        // guarded by failureMutex_
    std::optional<SystemError> listingFailure_;  // guarded by failureMutex_

    PassedErrorRetry retry_;
    bool yieldWhileReplaying_ = false;
    std::mutex retryMutex_;
    std::condition_variable retryWake_;
};

}  // namespace ravelin
