#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/DatagramSink.h"
#include "pipeline/PipelineSteps.h"
#include "pipeline/LocalClock.h"
#include "rows/CaptureLists.h"

namespace ravelin {

/// Carries one datagram after another, in arrival order, into the lists: decode, filter,
/// packet row with its record and direction colour, HTTP row. Used by one thread at a time.
class PacketPipeline : public DatagramSink {
public:
    static constexpr std::size_t kMinimumDatagram = 20;
    static constexpr std::size_t kMaximumDatagram = 65535;

    explicit PacketPipeline(CaptureLists& lists) : lists_(lists) {}

    void SetFilter(PacketFilter* filter) { filter_ = filter; }
    void SetRecogniser(RequestRecogniser* recogniser) { recogniser_ = recogniser; }
    void SetObserver(ListingObserver* observer) { observer_ = observer; }
    /// Give freed heap back to the system every 1000th packet row (off by default: see README).
    void SetTrimWorkingSet(bool trim) { trimWorkingSet_ = trim; }

    /// Lists one datagram, or drops it; true when a packet row was added.
    bool Process(const Datagram& datagram, std::uint32_t boundAddress) override;

    /// Tells the observer that the queue ran dry.
    void EndBatch() override {
        if (observer_ != nullptr) observer_->OnBatchEnd();
    }

private:
    CaptureLists& lists_;
    PacketFilter* filter_ = nullptr;
    RequestRecogniser* recogniser_ = nullptr;
    ListingObserver* observer_ = nullptr;
    bool trimWorkingSet_ = false;
    LocalClock clock_;
};

}  // namespace ravelin
