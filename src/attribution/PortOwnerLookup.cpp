#include "attribution/PortOwnerLookup.h"

#include <arpa/inet.h>

#include <algorithm>
#include <tuple>

namespace ravelin {

int PortOwnerLookup::FirstOwnerOfPort(std::vector<SocketRow>& rows, std::uint16_t localPort,
                                      Clock::time_point now) {
    const auto order = [](const SocketRow& row) {
        const SocketEndpoints& ends = row.endpoints;
        return std::make_tuple(ntohl(ends.localAddress), ends.localPort, ntohl(ends.remoteAddress),
                               ends.remotePort);
    };
    std::sort(rows.begin(), rows.end(),
              [&](const SocketRow& a, const SocketRow& b) { return order(a) < order(b); });
    for (const SocketRow& row : rows) {
        if (row.endpoints.localPort != localPort) continue;
        // The first row with the port decides, owner or not.
        const auto pid = inodes_.Find(row.inode, now);
        return pid.value_or(-1);
    }
    return -1;
}

int PortOwnerLookup::FindPortOwner(bool isTcp, const SocketEndpoints& packetEnds,
                                   bool opensConnection) {
    const Clock::time_point now = now_();
    rows_.clear();
    if (!isTcp) {
        if (!sockets_.ListUdpSockets(rows_)) return -1;
        return FirstOwnerOfPort(rows_, packetEnds.localPort, now);
    }

    if (opensConnection) connections_.Forget(packetEnds);
    if (const auto inode = sockets_.FindTcpConnection(packetEnds); inode && *inode != 0) {
        if (const auto pid = inodes_.Find(*inode, now)) {
            connections_.Remember(packetEnds, *pid, now);
            return *pid;
        }
    }
    if (sockets_.ListTcpListeners(rows_)) {
        if (const int pid = FirstOwnerOfPort(rows_, packetEnds.localPort, now); pid != -1) {
            return pid;
        }
    }
    return connections_.Find(packetEnds, now).value_or(-1);
}

}  // namespace ravelin
