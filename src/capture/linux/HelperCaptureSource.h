#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "capture/CaptureRecords.h"
#include "capture/PacketSource.h"
#include "capture/linux/HelperProcess.h"
#include "capture/linux/HelperStart.h"
#include "decode/IpAddress.h"

namespace ravelin {

/// Takes the records that are not frames, on the receive thread, before the frames that
/// follow them are handed on: kernel socket events and the SYNs this host sent, as bytes.
class HelperSideRecords {
public:
    virtual ~HelperSideRecords() = default;
    virtual void OnSocketEvent(std::span<const std::uint8_t> record) = 0;
    virtual void OnSyn(std::span<const std::uint8_t> datagram) = 0;
};

/// Live capture through the capture helper, the one program that holds the rights to capture:
/// Create starts it on the device of the bound address, each step reports how the helper's
/// step went, and Read takes the frames it streams. The helper's bytes are read as untrusted:
/// a malformed record ends capture with an error, as a helper that dies does.
class HelperCaptureSource final : public PacketSource {
public:
    /// `started`, where given, is a helper that StartHelperWithEvents started: Create takes it over
    /// instead of starting one when it was started for the same device and attribution.
    HelperCaptureSource(IpAddress boundAddress, std::string helperPath,
                        HelperAttribution attribution, std::shared_ptr<HelperSideRecords> side,
                        StartedHelper started = {});
    ~HelperCaptureSource() override;
    HelperCaptureSource(const HelperCaptureSource&) = delete;
    HelperCaptureSource& operator=(const HelperCaptureSource&) = delete;

    CallResult Create() override;
    CallResult Configure() override;
    CallResult Bind() override;
    CallResult SetFilter() override;
    ReadResult Read(DatagramBatch& batch, std::size_t maxDatagrams) override;
    void Interrupt() override;
    /// Asks the helper for the kernel's counts and waits a moment for them, else gives the last;
    /// while an earlier request is unanswered, gives the last at once.
    std::optional<CaptureStatistics> Statistics() override;

private:
    enum class Wanted { kRecord, kStopped, kFailed };
    CallResult Fail(SystemError error);
    /// Waits for the next record of set-up (side records are handed on meanwhile).
    CallResult AwaitStep(std::uint32_t step);
    /// The next record from the stream: kRecord; kStopped when `interruptible` and Interrupt
    /// was called or `waitMs` passed; kFailed with lastError_ set.
    Wanted NextRecord(CaptureRecord& record, int waitMs, bool interruptible);
    bool FillBuffer(int waitMs, bool interruptible, bool& stopped);
    void HandOn(const CaptureRecord& record);
    SystemError Ended();
    SystemError Malformed(const char* what);

    IpAddress boundAddress_;
    std::string helperPath_;
    HelperAttribution attribution_;
    std::shared_ptr<HelperSideRecords> side_;
    StartedHelper started_;
    bool addressFound_ = false;
    std::string device_;
    std::unique_ptr<HelperProcess> helper_;
    int linkType_ = -1;
    std::atomic<bool> failed_{false};  // set on the receive thread, read by Statistics
    UniqueFd wake_;                    // an eventfd that Interrupt signals

    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;  // of the bytes not yet taken
    std::size_t end_ = 0;

    mutable std::mutex statisticsMutex_;
    std::condition_variable statisticsArrived_;
    std::optional<CaptureStatistics> statistics_;  // guarded by statisticsMutex_
    std::uint64_t statisticsCount_ = 0;            // answers, guarded by statisticsMutex_
    std::uint64_t statisticsAsked_ = 0;            // requests, guarded by statisticsMutex_
};

}  // namespace ravelin
