#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "decode/IpAddress.h"
#include "decode/IpHeader.h"
#include "decode/Ipv6Header.h"
#include "decode/TcpHeader.h"
#include "decode/UdpHeader.h"

namespace ravelin {

enum class Transport : std::uint8_t { kNone, kTcp, kUdp };

/// One datagram taken apart: its headers, where its payload lies, and the length that the
/// data-length column shows.
struct DecodedDatagram {
    /// The IPv4 header. For an IPv6 datagram only `protocol` and `fragmentOffset` are set, from
    /// the walked chain, so that what reads them needs no second case.
    IpHeader ip;
    bool ipv6 = false;
    Ipv6Header ip6;  ///< valid when ipv6
    /// The datagram's length on the wire: the total length, or 40 + the payload length for
    /// IPv6; where the datagram says 0 (an offloaded segment, a jumbogram), the captured size.
    std::uint32_t ipLength = 0;
    Transport transport = Transport::kNone;
    TcpHeader tcp;  ///< valid when transport is kTcp
    UdpHeader udp;  ///< valid when transport is kUdp
    /// Payload bytes for the data-length column: the TCP or UDP payload, the bytes after the
    /// IP header of a later fragment, or the whole datagram's received length for other
    /// protocols.
    std::int32_t dataLength = 0;
    std::span<const std::uint8_t> payload;  ///< inside the datagram; empty when none

    std::uint16_t sourcePort() const;
    std::uint16_t destinationPort() const;
    IpAddress sourceIp() const {
        return ipv6 ? IpAddress::Ipv6(ip6.sourceAddress) : IpAddress(ip.sourceAddress);
    }
    IpAddress destinationIp() const {
        return ipv6 ? IpAddress::Ipv6(ip6.destinationAddress) : IpAddress(ip.destinationAddress);
    }
};

/// Decodes the IP header and, for TCP and UDP, the transport header and payload. A datagram
/// whose version is 6 is read as IPv6 (see Ipv6Header for the walk of its extension headers);
/// its transport header begins where the walk ended, if it reached the upper protocol, and
/// the same rules apply, with the payload length's end for the total length's. Its data
/// length for other protocols is 40 + the payload length.
///
/// Every length field is untrusted, and nothing outside `datagram` is ever read:
///  - The transport header starts at the IP header length. An IP header length below 20, or
///    one that leaves fewer bytes than the transport header's fixed part (20 for TCP, 8 for
///    UDP), means the transport header does not fit: the datagram is listed like one of
///    another protocol, with no ports and no payload.
///  - The datagram ends at its total length or at the last received byte, whichever is first;
///    a total length of 0 (segmentation offload) ends it at the last received byte.
///  - A TCP data offset below 20 counts as 20; one past the end counts up to the end.
///  - A UDP length counts up to the end of the datagram at most.
///  - A payload length that comes out below zero is zero.
///  - A fragment after the first (fragment offset above 0) has no transport header, whatever
///    its protocol: it is listed with no ports, and its bytes after the IP header, up to where
///    the datagram ends, are its payload.
/// So a datagram that claims more than was received is listed with the payload that is really
/// there. Returns nothing only when fewer than 20 bytes were received.
std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram);

}  // namespace ravelin
