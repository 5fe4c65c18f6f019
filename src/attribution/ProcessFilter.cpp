#include "attribution/ProcessFilter.h"

namespace ravelin {

std::optional<bool> TreeSelection::IsProcessSelected(int pid) const {
    const auto node = tree_.FindProcessNode(pid);
    if (!node) return std::nullopt;
    return tree_.IsChecked(*node);
}

int ProcessFilter::LookUpOwner(const DecodedDatagram& packet, std::uint16_t localPort, bool sent) {
    if (packet.transport == Transport::kNone) return kNoOwner;
    // The ends as this host sees them: a packet it sent has its source on this side.
    SocketEndpoints ends;
    ends.localPort = localPort;
    ends.localAddress = sent ? packet.sourceIp() : packet.destinationIp();
    ends.remoteAddress = sent ? packet.destinationIp() : packet.sourceIp();
    ends.remotePort = sent ? packet.destinationPort() : packet.sourcePort();
    const bool isTcp = packet.transport == Transport::kTcp;
    using Segment = PortOwnerLookup::Segment;
    Segment segment = Segment::kOther;
    if (isTcp && packet.tcp.synFlag) {
        if (!packet.tcp.ackFlag) {
            segment = Segment::kOpening;
        } else if (sent) {
            segment = Segment::kAccepting;
        }
    } else if (isTcp && sent && !packet.payload.empty()) {
        segment = Segment::kData;
    }
    return lookup_.FindPortOwner(isTcp, ends, segment);
}

bool ProcessFilter::Selected(int owner) {
    if (owner != kNoOwner) {
        if (const auto selected = selection_.IsProcessSelected(owner)) return *selected;
        // An owner the tree does not know yet: it started after the last refresh.
        selection_.Refresh();
        if (const auto selected = selection_.IsProcessSelected(owner)) return *selected;
    }
    return selection_.RootSelected();
}

FilterDecision ProcessFilter::Keep(const DecodedDatagram& packet, std::uint16_t localPort,
                                   bool sentByThisHost, const RecordedOwner& recorded) {
    const bool allSelected = selection_.AllSelected();
    if (recorded.known()) {
        if (recorded_ != nullptr) recorded_->Note(recorded.pid, recorded.name);
        return {allSelected || Selected(recorded.pid), recorded.pid, recorded.name};
    }
    if (!lookUpLive_) return {allSelected || selection_.RootSelected(), kNoOwner, {}};
    if (allSelected && !alwaysAttribute_) {
        // Flows that begin now are known when the user unticks a process later.
        lookup_.TakeSocketEvents();
        return {true, kNoOwner, {}};
    }
    const int owner = LookUpOwner(packet, localPort, sentByThisHost);
    const bool keep = allSelected || Selected(owner);
    if (owner == kNoOwner) return {keep, owner, {}};
    // Named even when dropped: the traffic counters show every process's traffic.
    return {keep, owner, names_.Name(owner, lookup_.Now())};
}

}  // namespace ravelin
