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
    batchBegan_ = LocalAddresses::Clock::now();
    if (filter_ != nullptr) filter_->BeginBatch();
    if (recogniser_ != nullptr) recogniser_->BeginBatch();
}

void PacketPipeline::EndBatch() {
    batchBegan_.reset();
    if (filter_ != nullptr) filter_->EndBatch();
    if (counters_ != nullptr) counters_->Merge(tally_);
    if (!listedSinceBatchEnd_) return;
    listedSinceBatchEnd_ = false;
    if (observer_ != nullptr) observer_->OnBatchEnd();
}

bool PacketPipeline::Process(const Datagram& datagram, const IpAddress& boundAddress) {
    if (failure_) failure_.reset();  // it tells of the last datagram only
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
    const PacketRow row = MakePacketRow(*decoded, time, sentByThisHost, lists_.addresses);

    // Recognition reads only the datagram, so it runs before the lists are locked. A later
    // fragment continues a payload: what it begins with does not begin a request.
    std::optional<RecognisedRequest> request;
    if (recogniser_ != nullptr && !decoded->payload.empty() && !decoded->ip.isLaterFragment()) {
        request = recogniser_->Recognise(*decoded, datagram.time);
    }

    // The frame goes to the spool whole; the row points at its payload.
    const Datagram* stored = &datagram;
    Datagram rawDatagram;
    if (!Contains(datagram.frame, datagram.bytes)) {
        rawDatagram = Datagram::Raw(datagram.bytes, datagram.time);
        stored = &rawDatagram;
    }
    const std::size_t payloadStart =
        decoded->payload.empty()
            ? 0
            : static_cast<std::size_t>(decoded->payload.data() - stored->frame.data());

    int packetRow = 0;
    int requestRow = -1;
    {
        std::lock_guard update(lists_.updateMutex);
        const auto added = lists_.AddPacket(row, *stored, payloadStart,
                                            sentByThisHost ? kSentColour : kReceivedColour,
                                            PacketOwner{decision.owner, decision.ownerName});
        if (!added) {
            failure_ = lists_.spool->failure();
            return false;
        }
        packetRow = *added;
        if (request) {
            HttpRow httpRow;
            httpRow.packetRow = packetRow;
            httpRow.hour = time.hour;
            httpRow.minute = time.minute;
            httpRow.second = time.second;
            httpRow.method = request->method;
            const auto* urlBytes = reinterpret_cast<const std::uint8_t*>(request->url.data());
            requestRow = lists_.requests.InsertRow(httpRow, {urlBytes, request->url.size()},
                                                   request->colour);
        }
    }

    listedSinceBatchEnd_ = true;
    if (trimWorkingSet_ && packetRow % 1000 == 0) malloc_trim(0);
    if (observer_ != nullptr) {
        observer_->OnPacketListed(packetRow, decision.owner);
        if (requestRow >= 0) observer_->OnRequestListed(requestRow);
    }
    return true;
}

}  // namespace ravelin
