#include "attribution/PortOwnerLookup.h"

#include <algorithm>
#include <tuple>

#include "rows/PacketOwner.h"

namespace ravelin {

namespace {

// Names of processes that ended are kept for attribution; this many at most.
constexpr std::size_t kMaximumEventNames = 65536;

}  // namespace

bool PortOwnerLookup::Read(SortedTable& table, ListFunction list, Clock::time_point now) {
    table.readAt = now;
    table.firstInodeOfPort.clear();
    if (!(sockets_.*list)(table.rows)) {
        table.rows.clear();
        return false;
    }
    // Addresses compare as their bytes on the wire, which orders IPv4 addresses as numbers.
    const auto order = [](const SocketRow& row) {
        const SocketEndpoints& ends = row.endpoints;
        return std::tie(ends.localAddress.ipv6, ends.localAddress.bytes, ends.localPort,
                        ends.remoteAddress.bytes, ends.remotePort);
    };
    std::sort(table.rows.begin(), table.rows.end(),
              [&](const SocketRow& a, const SocketRow& b) { return order(a) < order(b); });
    // The first row with a port decides, owner or not, among the sockets of the family.
    for (const SocketRow& row : table.rows) {
        table.firstInodeOfPort.emplace(PortOfFamily(row.endpoints), row.inode);
    }
    return true;
}

PortOwnerLookup::TableAnswer PortOwnerLookup::FirstOwnerOfPort(SortedTable& table,
                                                               ListFunction list,
                                                               const SocketEndpoints& ends,
                                                               Clock::time_point now) {
    if (!table.readAt || now - *table.readAt >= kTableFreshness) Read(table, list, now);
    const std::uint32_t port = PortOfFamily(ends);
    auto found = table.firstInodeOfPort.find(port);
    // The socket may be younger than the table.
    if (found == table.firstInodeOfPort.end() && now - *table.readAt >= kMissRereadAge) {
        Read(table, list, now);
        found = table.firstInodeOfPort.find(port);
    }
    if (found == table.firstInodeOfPort.end()) return {};
    return {inodes_.Find(found->second, now).value_or(kNoOwner), FlowTable::Source::kDerived, true};
}

PortOwnerLookup::TableAnswer PortOwnerLookup::LookUpInTables(const Flow& flow, Segment segment,
                                                             Clock::time_point now, bool afresh) {
    if (!flow.tcp) {
        return FirstOwnerOfPort(udp_, &SocketTable::ListUdpSockets, flow.ends, now);
    }
    if (const auto inode = sockets_.FindTcpConnection(flow.ends); inode && *inode != 0) {
        const auto pid = afresh ? inodes_.FindAfresh(*inode, now) : inodes_.Find(*inode, now);
        if (pid) {
            // The process that accepted a connection may fork and leave it to the child: until
            // it sends data, it is only the first to hold it.
            const bool accepted =
                !afresh &&
                FirstOwnerOfPort(listeners_, &SocketTable::ListTcpListeners, flow.ends, now).pid ==
                    *pid;
            return {*pid, accepted ? FlowTable::Source::kAccepted : FlowTable::Source::kConnection,
                    true, true};
        }
    }
    TableAnswer answer =
        FirstOwnerOfPort(listeners_, &SocketTable::ListTcpListeners, flow.ends, now);
    if (!answer.socketFound) return answer;
    answer.source = FlowTable::Source::kListener;
    // The handshake is the listener's. Any later segment belongs to a connection whose socket
    // is gone or not yet accepted: the listening process's, unless it has or had children it may
    // have handed the connection to.
    const bool handshake = segment == Segment::kOpening || segment == Segment::kAccepting;
    if (!handshake && answer.pid != kNoOwner && processes_.HasHadChildren(answer.pid) != false) {
        answer.pid = kNoOwner;
    }
    return answer;
}

void PortOwnerLookup::TakeSocketEvents() {
    if (events_ != nullptr) TakeSocketEvents(Now());
}

void PortOwnerLookup::TakeSocketEvents(Clock::time_point now) {
    if (events_ == nullptr) return;
    pendingEvents_.clear();
    events_->Drain(pendingEvents_);
    for (SocketEvent& event : pendingEvents_) {
        const Flow flow{event.tcp, event.endpoints};
        if (event.kind == SocketEvent::Kind::kClosed) {
            flows_.Close(flow, now);
            continue;
        }
        flows_.Remember(flow, event.pid, FlowTable::Source::kKernelEvent, now);
        if (eventNames_.size() >= kMaximumEventNames) eventNames_.clear();
        eventNames_.insert_or_assign(event.pid, std::move(event.name));
    }
}

std::optional<std::string> PortOwnerLookup::ProcessName(int pid) const {
    if (const auto found = eventNames_.find(pid); found != eventNames_.end()) return found->second;
    return std::nullopt;
}

int PortOwnerLookup::FindPortOwner(bool isTcp, const SocketEndpoints& packetEnds, Segment segment) {
    const Clock::time_point now = Now();
    TakeSocketEvents(now);
    const Flow flow{isTcp, packetEnds};
    if (segment == Segment::kOpening) flows_.Forget(flow);
    const auto known = flows_.Find(flow, now);
    // Data is written by a process: whoever holds the socket when it is sent. A connection
    // that its acceptor may have handed on is looked at afresh once, then the answer is firm.
    const bool accepted = known && known->source == FlowTable::Source::kAccepted;
    bool handedOn = accepted && (segment == Segment::kData || known->stale);
    // What the listener answered for a connection is no answer for data written on it.
    const bool listenerWrites =
        known && known->source == FlowTable::Source::kListener && segment == Segment::kData;
    if (known && !known->stale && !handedOn && !listenerWrites) return known->pid;

    TableAnswer answer = LookUpInTables(flow, segment, now, handedOn);
    int acceptor = handedOn ? known->pid : kNoOwner;
    if (!handedOn && answer.source == FlowTable::Source::kAccepted && segment == Segment::kData) {
        acceptor = answer.pid;
        answer = LookUpInTables(flow, segment, now, true);
        handedOn = true;
    }
    if (handedOn) {
        // Still, or again, with its acceptor alone, or closed before its data could be traced
        // to a holder: it is the acceptor's, unless the acceptor has or had children, one of
        // which may have written the data and ended before anything saw it hold the socket.
        if (!answer.ownSocketFound || answer.pid == acceptor) {
            answer.pid = processes_.HasHadChildren(acceptor) == false ? acceptor : kNoOwner;
        }
        answer.source = FlowTable::Source::kConnection;
    } else if (!answer.socketFound && known && isTcp) {
        // No socket has a connection's end any more: it closed, and the connection's last
        // packets still belong to the owner found before. A UDP port has no connection to tell
        // one socket's datagrams from the next one's: once the answer is old, a port that
        // nobody holds may have been another process's in between, so its owner is not known.
        answer.pid = known->pid;
    }
    flows_.Remember(flow, answer.pid, answer.source, now);
    return answer.pid;
}

}  // namespace ravelin
