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

std::optional<DecodedDatagram> DecodeDatagram(std::span<const std::uint8_t> datagram) {
    DecodedDatagram decoded;
    if (!decoded.ip.Parse(datagram)) return std::nullopt;
    decoded.dataLength = static_cast<std::int32_t>(datagram.size());

    const std::size_t ipHeaderLength = decoded.ip.headerLength;
    if (ipHeaderLength < kMinimumIpHeader || ipHeaderLength > datagram.size()) return decoded;
    const auto transportBytes = datagram.subspan(ipHeaderLength);
    const std::size_t datagramEnd = DatagramEnd(decoded.ip.totalLength, datagram.size());
    if (decoded.ip.isLaterFragment()) {
        // Its first bytes are the middle of the payload: read as ports they would be made up.
        const std::size_t payloadLength =
            datagramEnd > ipHeaderLength ? datagramEnd - ipHeaderLength : 0;
        decoded.dataLength = static_cast<std::int32_t>(payloadLength);
        decoded.payload = transportBytes.first(payloadLength);
        return decoded;
    }

    if (decoded.ip.protocol == kProtocolTcp) {
        if (!decoded.tcp.Parse(transportBytes)) return decoded;
        decoded.transport = Transport::kTcp;
        const std::size_t tcpHeaderLength = std::clamp<std::size_t>(
            decoded.tcp.headerLength, kMinimumTcpHeader, transportBytes.size());
        const std::size_t payloadStart = ipHeaderLength + tcpHeaderLength;
        const std::size_t payloadLength =
            datagramEnd > payloadStart ? datagramEnd - payloadStart : 0;
        decoded.dataLength = static_cast<std::int32_t>(payloadLength);
        decoded.payload = datagram.subspan(payloadStart, payloadLength);
    } else if (decoded.ip.protocol == kProtocolUdp) {
        if (!decoded.udp.Parse(transportBytes)) return decoded;
        decoded.transport = Transport::kUdp;
        const std::size_t transportEnd =
            datagramEnd > ipHeaderLength ? datagramEnd - ipHeaderLength : 0;
        const std::size_t udpEnd = std::min<std::size_t>(decoded.udp.udpLength, transportEnd);
        const std::size_t payloadLength =
            udpEnd > UdpHeader::kHeaderLength ? udpEnd - UdpHeader::kHeaderLength : 0;
        decoded.dataLength = static_cast<std::int32_t>(payloadLength);
        decoded.payload = transportBytes.subspan(UdpHeader::kHeaderLength, payloadLength);
    }
    return decoded;
}

}  // namespace ravelin
