#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "attribution/ConnectionOwners.h"
#include "attribution/InodeOwners.h"
#include "attribution/ProcessSource.h"
#include "attribution/SocketTable.h"

namespace ravelin {

/// Finds the process that owns the local end of a packet.
///
/// TCP: the packet's own connection is asked for first (a hash lookup in the kernel, where a
/// dump of every connection would cost a millisecond per packet); where none exists, the
/// listening sockets are sorted by local address, local port, remote address and remote port,
/// and the first with the local port wins; where the tables name no owner, the owner remembered
/// for the connection. UDP: the same sorted rule over the UDP table. The tables are read afresh
/// for every packet. Used by one thread at a time.
class PortOwnerLookup {
public:
    using Clock = std::chrono::steady_clock;

    PortOwnerLookup(SocketTable& sockets, ProcessSource& processes,
                    std::function<Clock::time_point()> now = Clock::now)
        : sockets_(sockets), inodes_(processes), now_(std::move(now)) {}

    /// The owning process id, or -1 when nothing owns the port. `packetEnds` are the packet's
    /// ends seen from this host (local port = the port on this host's side); `opensConnection`
    /// is set for a SYN, which starts a new connection on the pair.
    int FindPortOwner(bool isTcp, const SocketEndpoints& packetEnds, bool opensConnection);

    const InodeOwners& inodeOwners() const { return inodes_; }
    const ConnectionOwners& connectionOwners() const { return connections_; }

private:
    int FirstOwnerOfPort(std::vector<SocketRow>& rows, std::uint16_t localPort,
                         Clock::time_point now);

    SocketTable& sockets_;
    InodeOwners inodes_;
    ConnectionOwners connections_;
    std::function<Clock::time_point()> now_;
    std::vector<SocketRow> rows_;  // reused between calls
};

}  // namespace ravelin
