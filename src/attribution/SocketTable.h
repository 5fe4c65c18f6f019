#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace ravelin {

/// Both ends of a socket: addresses in network byte order, ports in host order.
struct SocketEndpoints {
    std::uint32_t localAddress = 0;
    std::uint16_t localPort = 0;
    std::uint32_t remoteAddress = 0;
    std::uint16_t remotePort = 0;

    bool operator==(const SocketEndpoints&) const = default;
};

/// One row of a socket table: the socket's ends and its inode (0 for a socket that no longer
/// belongs to a file, such as one in TIME_WAIT).
struct SocketRow {
    SocketEndpoints endpoints;
    std::uint64_t inode = 0;
};

/// The kernel's tables of TCP and UDP sockets that carry IPv4 traffic: IPv4 sockets, and IPv6
/// sockets bound to the any-address without IPV6_V6ONLY or to an IPv4-mapped address (reported
/// with their IPv4 addresses). Sockets of other network namespaces are not visible.
class SocketTable {
public:
    virtual ~SocketTable() = default;

    /// The inode of the TCP socket (not listening) with exactly these ends, or nothing.
    virtual std::optional<std::uint64_t> FindTcpConnection(const SocketEndpoints& endpoints) = 0;
    /// Every TCP socket, listening or not, in no particular order. Costly: the kernel walks its
    /// whole connection table. False when the table cannot be read.
    virtual bool ListTcpSockets(std::vector<SocketRow>& rows) = 0;
    /// The listening TCP sockets, in no particular order. False when the table cannot be read.
    virtual bool ListTcpListeners(std::vector<SocketRow>& rows) = 0;
    /// The UDP sockets, in no particular order. False when the table cannot be read.
    virtual bool ListUdpSockets(std::vector<SocketRow>& rows) = 0;
};

}  // namespace ravelin
