#include "attribution/ConnectionOpenings.h"

#include "decode/DatagramDecoder.h"

namespace ravelin {

std::optional<SocketEndpoints> OpeningOfSyn(std::span<const std::uint8_t> datagram) {
    const auto decoded = DecodeDatagram(datagram);
    if (!decoded || decoded->transport != Transport::kTcp) return std::nullopt;
    return SocketEndpoints{decoded->sourceIp(), decoded->sourcePort(), decoded->destinationIp(),
                           decoded->destinationPort()};
}

}  // namespace ravelin
