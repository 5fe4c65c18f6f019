#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/DatagramBatch.h"
#include "capture/DatagramDecoder.h"
#include "capture/LocalClock.h"
#include "views/CaptureLists.h"
#include "views/Colour.h"

namespace ravelin {

/// Decides whether a decoded packet is listed at all (attribution to a checked process).
class PacketFilter {
public:
    virtual ~PacketFilter() = default;
    /// `localPort` is the port on this host's side: the source port of a packet sent from the
    /// bound address, otherwise the destination port; 0 for protocols without ports.
    virtual bool Keep(const DecodedDatagram& packet, std::uint16_t localPort,
                      std::uint32_t boundAddress) = 0;
};

/// What the HTTP list shows of a payload that begins a request.
struct RecognisedRequest {
    std::string_view method;  ///< static storage
    std::string url;
    Colour colour = kBackgroundColour;
};

/// Recognises requests in payloads (the HTTP step).
class RequestRecogniser {
public:
    virtual ~RequestRecogniser() = default;
    virtual std::optional<RecognisedRequest> Recognise(std::span<const std::uint8_t> payload) = 0;
};

/// Told about every row as it is listed, on the pipeline's thread.
class ListingObserver {
public:
    virtual ~ListingObserver() = default;
    virtual void OnPacketListed(int /*row*/) {}
    virtual void OnRequestListed(int /*row*/) {}
    /// The pipeline has nothing more queued for now.
    virtual void OnBatchEnd() {}
};

/// Carries one datagram after another, in arrival order, into the lists: decode, filter,
/// packet row with its record and direction colour, HTTP row. Used by one thread at a time.
class PacketPipeline {
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
    bool Process(const Datagram& datagram, std::uint32_t boundAddress);

    /// Tells the observer that the queue ran dry.
    void EndBatch() {
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
