#include "analysis/RecentTable.h"

#include <algorithm>

namespace ravelin {

namespace {

void PutBe32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

ConnectionKey MakeConnectionKey(const DecodedDatagram& packet,
                                std::span<const std::uint8_t> connectionId) {
    ConnectionKey key;
    std::uint8_t* out = key.bytes.data();
    out[0] = packet.ipv6 ? 6 : 4;
    if (packet.ipv6) {
        std::ranges::copy(packet.ip6.sourceAddress, out + 1);
        std::ranges::copy(packet.ip6.destinationAddress, out + 17);
    } else {
        PutBe32(out + 1, packet.ip.sourceAddress);
        PutBe32(out + 17, packet.ip.destinationAddress);
    }
    PutBe32(out + 33, (std::uint32_t{packet.sourcePort()} << 16) | packet.destinationPort());
    const std::size_t idLength = std::min(connectionId.size(), ConnectionKey::kMaximumIdLength);
    out[37] = static_cast<std::uint8_t>(idLength);
    std::copy_n(connectionId.begin(), idLength, out + 38);
    return key;
}

}  // namespace ravelin
