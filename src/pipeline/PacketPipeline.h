#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/DatagramSink.h"
#include "pipeline/LocalAddresses.h"
#include "pipeline/LocalClock.h"
#include "pipeline/PipelineSteps.h"
#include "pipeline/ProcessCounters.h"
#include "rows/CaptureLists.h"

namespace ravelin {

/// Carries one datagram after another, in arrival order, into the lists: decode, filter,
/// packet row with its record and direction colour, HTTP row. Used by one thread at a time.
class PacketPipeline : public DatagramSink {
public:
    static constexpr std::size_t kMinimumDatagram = 20;
    static constexpr std::size_t kMaximumDatagram = 65535;
    /// 40 bytes of header and a payload of up to 65535.
    static constexpr std::size_t kMaximumIpv6Datagram = 65535 + 40;

    /// `interfaces` lists this host's interfaces, whose addresses count as sent-from with the
    /// bound address 0.0.0.0: the host's own by default, a fixed list in tests.
    explicit PacketPipeline(CaptureLists& lists, LocalAddresses::Lister interfaces = ListInterfaces)
        : lists_(lists), localAddresses_(std::move(interfaces)) {}

    void SetFilter(PacketFilter* filter) { filter_ = filter; }
    /// The interfaces whose addresses count as sent-from with the bound address 0.0.0.0.
    /// Call while capture is stopped.
    void SetLocalInterfaces(LocalAddresses::Lister interfaces) {
        localAddresses_ = LocalAddresses(std::move(interfaces));
    }
    void SetRecogniser(RequestRecogniser* recogniser) { recogniser_ = recogniser; }
    void SetObserver(ListingObserver* observer) { observer_ = observer; }
    /// Where each packet is counted for its owner, whether it is listed or not: kNoOwner where
    /// none is known, and for protocols without ports. Nothing: no counting. Call while capture is
    /// stopped.
    void SetCounters(ProcessCounters* counters) {
        counters_ = counters;
        tally_ = {};
    }
    /// Give freed heap back to the system every 1000th packet row (off by default: the user
    /// guide, docs/user-guide.md, tells why).
    void SetTrimWorkingSet(bool trim) { trimWorkingSet_ = trim; }

    /// Reads the clock for the batch's datagrams, and lets the recogniser look at its
    /// settings.
    void BeginBatch() override;

    /// Lists one datagram, or drops it; true when it is listed, or, within a batch, waits to be
    /// listed with the rest of its group (see SettleBatch). The datagram was
    /// sent by this host when its source is `boundAddress`, or, where that is 0.0.0.0 or ::
    /// (all interfaces) or of the other family (the same device's other half), any address of
    /// this host.
    bool Process(const Datagram& datagram, const IpAddress& boundAddress) override;

    /// Lists the packets that wait for the rest of their group: the batch's datagrams are about
    /// to be reused. The failure, when the spool could not take one, is failure()'s.
    void SettleBatch() override;
    /// Lists at most `packets` more packets, and after the last one looks at no datagram
    /// again, not even to count it. Call while capture is stopped.
    void SetListingLimit(std::size_t packets) { listingsLeft_ = packets; }
    /// Settles the batch, hands the counts over, and tells the observer that the queue ran dry when
    /// something was listed since it last heard so.
    void EndBatch() override;

    /// Set when the spool could not take the last datagram.
    const std::optional<SystemError>& failure() const override { return failure_; }

private:
    // Packets of a batch are listed in groups, each lock taken once per group rather than once
    // per packet: at a million packets a second the locks cost as much as making the rows.
    // A group is small, so that a reader or a clear waits for a short copy only.
    static constexpr std::size_t kGroupPackets = 64;
    static constexpr std::size_t kGroupBytes = std::size_t{256} << 10;

    /// Lists the packets grouped so far; false when the spool could not take one of them.
    bool ListGroup();

    CaptureLists& lists_;
    PacketFilter* filter_ = nullptr;
    RequestRecogniser* recogniser_ = nullptr;
    ListingObserver* observer_ = nullptr;
    ProcessCounters* counters_ = nullptr;
    TrafficTally tally_;  // counts not yet merged into counters_
    bool listedSinceBatchEnd_ = false;
    bool trimWorkingSet_ = false;
    LocalClock clock_;
    // When the batch began: the interfaces' age is judged by it, which spares a clock read per
    // datagram. Nothing outside a batch (a caller that hands datagrams over one at a time).
    std::optional<LocalAddresses::Clock::time_point> batchBegan_;
    LocalAddresses localAddresses_;
    std::optional<SystemError> failure_;
    // The packets waiting for their group's listing, in slots that are reused, so that their
    // strings keep what they allocated.
    std::vector<PacketToList> group_;
    std::size_t grouped_ = 0;
    std::size_t groupedBytes_ = 0;
    bool grouping_ = false;  // within a batch, whose datagrams live until SettleBatch
    std::optional<std::size_t> listingsLeft_;
};

}  // namespace ravelin
