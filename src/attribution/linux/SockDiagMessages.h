#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "attribution/SocketTable.h"

namespace ravelin {

/// One socket of a NETLINK_SOCK_DIAG answer (struct inet_diag_msg and the attributes we use).
struct DiagSocket {
    std::uint8_t family = 0;  ///< AF_INET or AF_INET6
    std::uint8_t state = 0;   ///< TCP_* state
    /// As the kernel sends them: network byte order; an IPv4 address is word 0.
    std::array<std::uint32_t, 4> localAddress{};
    std::array<std::uint32_t, 4> remoteAddress{};
    std::uint16_t localPort = 0;  ///< host order
    std::uint16_t remotePort = 0;
    std::uint64_t inode = 0;
    /// INET_DIAG_SKV6ONLY; the kernel sends it for full AF_INET6 sockets only (not for
    /// TIME_WAIT or request sockets).
    std::optional<bool> v6Only;
};

/// Where one received datagram leaves the answer to a request.
struct DiagDecodeResult {
    enum class Status {
        kMore,   ///< the answer goes on in the next datagram
        kDone,   ///< NLMSG_DONE, or the single reply of an exact lookup
        kError,  ///< NLMSG_ERROR or a failed dump; `error` holds the errno
    };
    Status status = Status::kMore;
    int error = 0;
};

/// Decodes one datagram of answers to the request numbered `sequence`, appending its sockets
/// to `sockets`. Messages of other sequence numbers (left over from an abandoned request) are
/// skipped. Reads nothing outside `datagram`; a message that claims more bytes than the
/// datagram holds ends the answer with EBADMSG.
DiagDecodeResult DecodeDiagDatagram(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                                    std::vector<DiagSocket>& sockets);

/// The socket as a row of IPv4 ends, or nothing when it cannot carry IPv4 traffic: an AF_INET6
/// socket counts only when bound to :: without IPV6_V6ONLY or to an IPv4-mapped address.
std::optional<SocketRow> Ipv4Row(const DiagSocket& socket);
/// The socket as a row of IPv6 ends, or nothing when it is not an AF_INET6 socket or carries
/// IPv4 only (IPv4-mapped ends). A dual-stack socket on :: has a row of each family.
std::optional<SocketRow> Ipv6Row(const DiagSocket& socket);

}  // namespace ravelin
