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
    PutBe32(out, packet.ip.sourceAddress);
    PutBe32(out + 4, packet.ip.destinationAddress);
    PutBe32(out + 8, (std::uint32_t{packet.sourcePort()} << 16) | packet.destinationPort());
    const std::size_t idLength = std::min(connectionId.size(), ConnectionKey::kMaximumIdLength);
    out[12] = static_cast<std::uint8_t>(idLength);
    std::copy_n(connectionId.begin(), idLength, out + 13);
    return key;
}

}  // namespace ravelin
