#include "decode/DatagramDecoder.h"

#include <algorithm>

namespace ravelin {

namespace {

constexpr std::size_t kMinimumIpHeader = 20;
constexpr std::size_t kMinimumTcpHeader = 20;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;

}  // namespace

std::uint16_t DecodedDatagram::sourcePort() const {
    switch (transport) {
        case Transport::kTcp:
            return tcp.sourcePort;
        case Transport::kUdp:
            return udp.sourcePort;
        case Transport::kNone:
            break;
    }
    return 0;
}

std::uint16_t DecodedDatagram::destinationPort() const {
    switch (transport) {
        case Transport::kTcp:
            return tcp.destinationPort;
        case Transport::kUdp:
            return udp.destinationPort;
        case Transport::kNone:
            break;
    }
    return 0;
}

namespace {

// The TCP or UDP header at `headerEnd` and the payload behind it, up to `datagramEnd`; the
// header is read from the captured bytes, as far as they go.
void DecodeTransport(std::span<const std::uint8_t> datagram, std::size_t headerEnd,
                     std::size_t datagramEnd, std::uint8_t protocol, DecodedDatagram& decoded) {
    const auto transportBytes = datagram.subspan(headerEnd);
    if (protocol == kProtocolTcp) {
        if (!decoded.tcp.Parse(transportBytes)) return;
        decoded.transport = Transport::kTcp;
        const std::size_t tcpHeaderLength = std::clamp<std::size_t>(
            decoded.tcp.headerLength, kMinimumTcpHeader, transportBytes.size());
        const std::size_t payloadStart = headerEnd + tcpHeaderLength;
        const std::size_t payloadLength =
            datagramEnd > payloadStart ? datagramEnd - payloadStart : 0;
        decoded.dataLength = static_cast<std::int32_t>(payloadLength);
        decoded.payload = datagram.subspan(payloadStart, payloadLength);
    } else if (protocol == kProtocolUdp) {
        if (!decoded.udp.Parse(transportBytes)) return;
        decoded.transport = Transport::kUdp;
        const std::size_t transportEnd = datagramEnd > headerEnd ? datagramEnd - headerEnd : 0;
        const std::size_t udpEnd = std::min<std::size_t>(decoded.udp.udpLength, transportEnd);
        const std::size_t payloadLength =
            udpEnd > UdpHeader::kHeaderLength ? udpEnd - UdpHeader::kHeaderLength : 0;
        decoded.dataLength = static_cast<std::int32_t>(payloadLength);
        decoded.payload = transportBytes.subspan(UdpHeader::kHeaderLength, payloadLength);
    }
}

// A later fragment: its first bytes are the middle of the payload, and read as ports they
// would be made up.
void DecodeLaterFragment(std::span<const std::uint8_t> datagram, std::size_t headerEnd,
                         std::size_t datagramEnd, DecodedDatagram& decoded) {
    const std::size_t payloadLength = datagramEnd > headerEnd ? datagramEnd - headerEnd : 0;
    decoded.dataLength = static_cast<std::int32_t>(payloadLength);
    decoded.payload = datagram.subspan(headerEnd, payloadLength);
}

std::optional<DecodedDatagram> DecodeIpv6(std::span<const std::uint8_t> datagram) {
    DecodedDatagram decoded;
    if (!decoded.ip6.Parse(datagram)) return std::nullopt;
    decoded.ipv6 = true;
    decoded.ip.protocol = decoded.ip6.protocol;
    decoded.ip.fragmentOffset = decoded.ip6.fragmentOffset;
    decoded.ipLength = decoded.ip6.payloadLength == 0
                           ? static_cast<std::uint32_t>(datagram.size())
                           : Ipv6Header::kFixedLength + decoded.ip6.payloadLength;
    decoded.dataLength = static_cast<std::int32_t>(decoded.ipLength);
    if (decoded.ip6.isLaterFragment()) {
        DecodeLaterFragment(datagram, decoded.ip6.upperOffset, decoded.ip6.end, decoded);
    } else if (decoded.ip6.hasUpperHeader()) {
        DecodeTransport(datagram, decoded.ip6.upperOffset, decoded.ip6.end, decoded.ip6.protocol,
                        decoded);
    }
    return decoded;
}

}  // namespace

std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram) {
    if (!datagram.empty() && (datagram[0] >> 4) == 6) return DecodeIpv6(datagram);
    DecodedDatagram decoded;
    if (!decoded.ip.Parse(datagram)) return std::nullopt;
    decoded.dataLength = static_cast<std::int32_t>(datagram.size());
    // A segment offloaded to the card was captured with a total length of 0: its captured size
    // stands for it.
    decoded.ipLength = decoded.ip.totalLength != 0 ? decoded.ip.totalLength
                                                   : static_cast<std::uint32_t>(datagram.size());

    const std::size_t ipHeaderLength = decoded.ip.headerLength;
    if (ipHeaderLength < kMinimumIpHeader || ipHeaderLength > datagram.size()) return decoded;
    const std::size_t datagramEnd = DatagramEnd(decoded.ip.totalLength, datagram.size());
    if (decoded.ip.isLaterFragment()) {
        DecodeLaterFragment(datagram, ipHeaderLength, datagramEnd, decoded);
    } else {
        DecodeTransport(datagram, ipHeaderLength, datagramEnd, decoded.ip.protocol, decoded);
    }
    return decoded;
}

}  // namespace ravelin
