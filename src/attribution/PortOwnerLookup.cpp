#include "attribution/PortOwnerLookup.h"

#include <arpa/inet.h>

#include <algorithm>
#include <tuple>

#include "pipeline/PipelineSteps.h"

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
    const auto order = [](const SocketRow& row) {
        const SocketEndpoints& ends = row.endpoints;
        return std::make_tuple(ntohl(ends.localAddress), ends.localPort, ntohl(ends.remoteAddress),
                               ends.remotePort);
    };
    std::sort(table.rows.begin(), table.rows.end(),
              [&](const SocketRow& a, const SocketRow& b) { return order(a) < order(b); });
    // The first row with a port decides, owner or not.
    for (const SocketRow& row : table.rows) {
        table.firstInodeOfPort.emplace(row.endpoints.localPort, row.inode);
    }
    return true;
}

PortOwnerLookup::TableAnswer PortOwnerLookup::FirstOwnerOfPort(SortedTable& table,
                                                               ListFunction list,
                                                               std::uint16_t localPort,
                                                               Clock::time_point now) {
    if (!table.readAt || now - *table.readAt >= kTableFreshness) Read(table, list, now);
    auto found = table.firstInodeOfPort.find(localPort);
    // The socket may be younger than the table.
    if (found == table.firstInodeOfPort.end() && now - *table.readAt >= kMissRereadAge) {
        Read(table, list, now);
        found = table.firstInodeOfPort.find(localPort);
    }
    if (found == table.firstInodeOfPort.end()) return {};
    return {inodes_.Find(found->second, now).value_or(kNoOwner), FlowTable::Source::kDerived, true};
}

PortOwnerLookup::TableAnswer PortOwnerLookup::LookUpInTables(const Flow& flow,
                                                             Clock::time_point now) {
    if (!flow.tcp) {
        return FirstOwnerOfPort(udp_, &SocketTable::ListUdpSockets, flow.ends.localPort, now);
    }
    if (const auto inode = sockets_.FindTcpConnection(flow.ends); inode && *inode != 0) {
        if (const auto pid = inodes_.Find(*inode, now)) {
            return {*pid, FlowTable::Source::kConnection, true};
        }
    }
    return FirstOwnerOfPort(listeners_, &SocketTable::ListTcpListeners, flow.ends.localPort, now);
}

void PortOwnerLookup::TakeSocketEvents() {
    if (events_ != nullptr) TakeSocketEvents(now_());
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

int PortOwnerLookup::FindPortOwner(bool isTcp, const SocketEndpoints& packetEnds,
                                   bool opensConnection) {
    const Clock::time_point now = now_();
    TakeSocketEvents(now);
    const Flow flow{isTcp, packetEnds};
    if (opensConnection) flows_.Forget(flow);
    const auto known = flows_.Find(flow, now);
    if (known && !known->stale) return known->pid;

    TableAnswer answer = LookUpInTables(flow, now);
    // No socket has the flow's end any more: it closed, and the flow's last packets still
    // belong to the owner found before.
    if (!answer.socketFound && known) answer.pid = known->pid;
    flows_.Remember(flow, answer.pid, answer.source, now);
    return answer.pid;
}

}  // namespace ravelin
