#include "pipeline/PacketPipeline.h"

#include <malloc.h>

#include <mutex>

#include "rows/PacketRowFromDatagram.h"

namespace ravelin {

namespace {

bool Contains(std::span<const std::uint8_t> outer, std::span<const std::uint8_t> inner) {
    return !outer.empty() && inner.data() >= outer.data() &&
           inner.data() + inner.size() <= outer.data() + outer.size();
}

}  // namespace

void PacketPipeline::BeginBatch() {
    grouping_ = true;
    batchBegan_ = LocalAddresses::Clock::now();
    if (filter_ != nullptr) filter_->BeginBatch();
    if (recogniser_ != nullptr) recogniser_->BeginBatch();
}

void PacketPipeline::EndBatch() {
    SettleBatch();
    batchBegan_.reset();
    if (filter_ != nullptr) filter_->EndBatch();
    if (counters_ != nullptr) counters_->Merge(tally_);
    if (!listedSinceBatchEnd_) return;
    listedSinceBatchEnd_ = false;
    if (observer_ != nullptr) observer_->OnBatchEnd();
}

bool PacketPipeline::Process(const Datagram& datagram, const IpAddress& boundAddress) {
    if (failure_) failure_.reset();  // it tells of the last datagram only
    // Past the last packet allowed nothing more is looked at, not even counted.
    if (listingsLeft_ == 0) return false;
    const std::size_t size = datagram.bytes.size();
    if (size < kMinimumDatagram ||
        size > ((datagram.bytes[0] >> 4) == 6 ? kMaximumIpv6Datagram : kMaximumDatagram)) {
        return false;
    }
    const auto decoded = DecodeDatagram(datagram.bytes);
    if (!decoded) return false;

    // Captured on all interfaces, a packet is sent by this host when any of its addresses is
    // the source. The interfaces are listed again now and then.
    const auto now = batchBegan_ ? *batchBegan_ : LocalAddresses::Clock::now();
    bool sentByThisHost = false;
    if (!decoded->ipv6) {
        sentByThisHost = boundAddress.isAny() || boundAddress.ipv6
                             ? localAddresses_.Contains(decoded->ip.sourceAddress, now)
                             : decoded->ip.sourceAddress == boundAddress.ipv4();
    } else {
        sentByThisHost = boundAddress.isAny() || !boundAddress.ipv6
                             ? localAddresses_.ContainsIpv6(decoded->ip6.sourceAddress, now)
                             : decoded->ip6.sourceAddress == boundAddress.bytes;
    }
    const std::uint16_t localPort =
        sentByThisHost ? decoded->sourcePort() : decoded->destinationPort();
    FilterDecision decision;
    if (filter_ != nullptr) {
        decision = filter_->Keep(*decoded, localPort, sentByThisHost, datagram.owner);
    } else if (datagram.owner.known()) {
        decision = {true, datagram.owner.pid, datagram.owner.name};
    }
    // Every packet counts for its owner, listed or not.
    if (counters_ != nullptr) {
        if (tally_.Count(decision.owner, decision.ownerName, sentByThisHost, decoded->ipLength)) {
            counters_->Merge(tally_);
        }
    }
    if (!decision.keep) return false;

    const TimeOfDay time = clock_.ToLocal(datagram.time.seconds);
    if (grouped_ == group_.size()) group_.emplace_back();
    PacketToList& packet = group_[grouped_];
    packet.row = MakePacketRow(*decoded, time, sentByThisHost, lists_.addresses);

    // Recognition reads only the datagram, so it runs before the lists are locked. A later
    // fragment continues a payload: what it begins with does not begin a request.
    std::optional<RecognisedRequest> request;
    if (recogniser_ != nullptr && !decoded->payload.empty() && !decoded->ip.isLaterFragment()) {
        request = recogniser_->Recognise(*decoded, datagram.time);
    }

    // The frame goes to the spool whole; the row points at its payload.
    packet.datagram = Contains(datagram.frame, datagram.bytes)
                          ? datagram
                          : Datagram::Raw(datagram.bytes, datagram.time);
    packet.payloadStart =
        decoded->payload.empty()
            ? 0
            : static_cast<std::size_t>(decoded->payload.data() - packet.datagram.frame.data());
    packet.colour = sentByThisHost ? kSentColour : kReceivedColour;
    packet.ownerPid = decision.owner;
    packet.ownerName.assign(decision.ownerName);  // valid only until the next decision
    packet.request.reset();
    if (request) {
        HttpRow httpRow;
        httpRow.hour = time.hour;
        httpRow.minute = time.minute;
        httpRow.second = time.second;
        httpRow.method = request->method;
        packet.request = httpRow;
        packet.url.swap(request->url);
        packet.requestColour = request->colour;
    }
    ++grouped_;
    groupedBytes_ += packet.datagram.frame.size();
    if (listingsLeft_) --*listingsLeft_;

    // The last packet allowed is listed at once, so that its observer can end capture.
    const bool groupFull = grouped_ == kGroupPackets || groupedBytes_ >= kGroupBytes;
    if (!grouping_ || groupFull || listingsLeft_ == 0) return ListGroup();
    return true;
}

void PacketPipeline::SettleBatch() {
    grouping_ = false;
    (void)ListGroup();
}

bool PacketPipeline::ListGroup() {
    if (grouped_ == 0) return true;
    const std::span<PacketToList> group(group_.data(), grouped_);
    grouped_ = 0;
    groupedBytes_ = 0;
    std::size_t listed = 0;
    {
        std::lock_guard update(lists_.updateMutex);
        listed = lists_.AddPackets(group);
        if (listed < group.size()) failure_ = lists_.spool->failure();
    }
    if (listed > 0) listedSinceBatchEnd_ = true;
    // Observers read the rows they are told of: they hear of them once every lock is free.
    for (const PacketToList& packet : group.first(listed)) {
        if (trimWorkingSet_ && packet.packetRow % 1000 == 0) malloc_trim(0);
        if (observer_ != nullptr) {
            observer_->OnPacketListed(packet.packetRow, packet.ownerPid);
            if (packet.requestRow >= 0) observer_->OnRequestListed(packet.requestRow);
        }
    }
    return listed == group.size();
}

}  // namespace ravelin
