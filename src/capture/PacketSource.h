#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/CheckCall.h"
#include "capture/DatagramBatch.h"

namespace ravelin {

/// Counters of a live capture, as the kernel reports them.
struct CaptureStatistics {
    std::uint64_t received = 0;
    std::uint64_t dropped = 0;
};

/// Where datagrams come from: a live interface or a capture file.
///
/// Starting a source takes four steps, each of which says how it went, so that the capture
/// session can check each one like the platform call it stands for. After the steps, Read() is
/// called from one thread (the receive thread) while Interrupt() may be called from any other.
class PacketSource {
public:
    enum class Step { kCreate, kConfigure, kBind, kFilter };
    enum class ReadResult { kData, kEnd, kError };

    virtual ~PacketSource() = default;

    virtual CallResult Create() = 0;     ///< open the handle
    virtual CallResult Configure() = 0;  ///< snapshot length, delivery, buffer size
    virtual CallResult Bind() = 0;       ///< attach to the interface of the bound address
    virtual CallResult SetFilter() = 0;  ///< keep only IPv4

    /// The CheckCall message for a failed step.
    virtual std::string_view StepMessage(Step step) const;

    /// Appends up to `maxDatagrams` IPv4 datagrams to `batch`. Waits a bounded time for
    /// traffic; kData may come with no datagram (nothing arrived, or Interrupt()). kEnd: the
    /// source has no more (end of file). kError: lastError() says why.
    virtual ReadResult Read(DatagramBatch& batch, std::size_t maxDatagrams) = 0;

    /// Makes a Read that waits return promptly. Safe from any thread.
    virtual void Interrupt() = 0;

    /// Whether the source can wait for the pipeline (a file) instead of losing what is not read
    /// in time (live capture): such a source needs only a short queue ahead of the pipeline.
    virtual bool canWait() const { return false; }

    /// Live counters of the kernel, where the source has them.
    virtual std::optional<CaptureStatistics> Statistics() { return std::nullopt; }

    /// Why the last Read ended in kError.
    const SystemError& lastError() const { return lastError_; }

protected:
    SystemError lastError_;
};

}  // namespace ravelin
