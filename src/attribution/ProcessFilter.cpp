#include "attribution/ProcessFilter.h"

namespace ravelin {

std::optional<bool> TreeSelection::IsProcessSelected(int pid) const {
    const auto node = tree_.FindProcessNode(pid);
    if (!node) return std::nullopt;
    return tree_.IsChecked(*node);
}

int ProcessFilter::LookUpOwner(const DecodedDatagram& packet, std::uint16_t localPort,
                               std::uint32_t boundAddress) {
    if (packet.transport == Transport::kNone) return -1;
    // The ends as this host sees them: a packet it sent has its source on this side.
    const bool sent = packet.ip.sourceAddress == boundAddress;
    SocketEndpoints ends;
    ends.localPort = localPort;
    ends.localAddress = sent ? packet.ip.sourceAddress : packet.ip.destinationAddress;
    ends.remoteAddress = sent ? packet.ip.destinationAddress : packet.ip.sourceAddress;
    ends.remotePort = sent ? packet.destinationPort() : packet.sourcePort();
    const bool isTcp = packet.transport == Transport::kTcp;
    const bool opensConnection = isTcp && packet.tcp.synFlag && !packet.tcp.ackFlag;
    return lookup_.FindPortOwner(isTcp, ends, opensConnection);
}

bool ProcessFilter::Keep(const DecodedDatagram& packet, std::uint16_t localPort,
                         std::uint32_t boundAddress) {
    lastOwner_ = -1;
    const bool allSelected = selection_.AllSelected();
    if (allSelected && !alwaysAttribute_) return true;
    lastOwner_ = LookUpOwner(packet, localPort, boundAddress);
    if (allSelected) return true;

    if (lastOwner_ != -1) {
        if (const auto selected = selection_.IsProcessSelected(lastOwner_)) return *selected;
        // An owner the tree does not know yet: it started after the last refresh.
        selection_.Refresh();
        if (const auto selected = selection_.IsProcessSelected(lastOwner_)) return *selected;
    }
    return selection_.RootSelected();
}

}  // namespace ravelin
