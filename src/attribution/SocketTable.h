#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "decode/IpAddress.h"

namespace ravelin {

/// Both ends of a socket, of one family: ports in host order. An IPv4 end is an IPv4
/// IpAddress, also where the kernel holds it in an IPv6 socket as ::ffff:a.b.c.d, so that the
/// ends compare equal to those of the IPv4 packets the socket carries.
struct SocketEndpoints {
    IpAddress localAddress;
    std::uint16_t localPort = 0;
    IpAddress remoteAddress;
    std::uint16_t remotePort = 0;

    /// IPv4 ends from addresses in network byte order.
    static SocketEndpoints Ipv4(std::uint32_t localAddress, std::uint16_t localPort,
                                std::uint32_t remoteAddress, std::uint16_t remotePort) {
        return {IpAddress(localAddress), localPort, IpAddress(remoteAddress), remotePort};
    }
    bool ipv6() const { return localAddress.ipv6; }

    bool operator==(const SocketEndpoints&) const = default;
};

/// One row of a socket table: the socket's ends and its inode (0 for a socket that no longer
/// belongs to a file, such as one in TIME_WAIT).
struct SocketRow {
    SocketEndpoints endpoints;
    std::uint64_t inode = 0;
};

/// The kernel's tables of TCP and UDP sockets. IPv4 rows: IPv4 sockets, and IPv6 sockets bound
/// to the any-address without IPV6_V6ONLY or to an IPv4-mapped address (with their IPv4
/// addresses). IPv6 rows: IPv6 sockets whose ends are not IPv4-mapped. A dual-stack socket on
/// the any-address is a row of each family. Sockets of other network namespaces are not
/// visible.
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
