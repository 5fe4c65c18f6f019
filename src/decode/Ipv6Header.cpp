#include "decode/Ipv6Header.h"

#include <algorithm>

#include "decode/ByteReader.h"

namespace ravelin {

namespace {

constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kAuthentication = 51;
constexpr std::uint8_t kDestinationOptions = 60;

bool IsWalkedExtension(std::uint8_t protocol) {
    return protocol == kHopByHop || protocol == kRouting || protocol == kFragment ||
           protocol == kAuthentication || protocol == kDestinationOptions;
}

}  // namespace

bool Ipv6Header::Parse(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kFixedLength || (datagram[0] >> 4) != 6) return false;
    ByteReader reader(datagram);
    reader.Skip(4);  // version, traffic class, flow label
    payloadLength = reader.ReadBe16();
    protocol = reader.ReadU8();
    reader.Skip(1);  // hop limit
    std::ranges::copy(reader.ReadBytes(16), sourceAddress.begin());
    std::ranges::copy(reader.ReadBytes(16), destinationAddress.begin());
    end = payloadLength == 0 ? datagram.size()
                             : std::min(datagram.size(), kFixedLength + payloadLength);
    upperOffset = kFixedLength;
    stopped = false;
    fragmentOffset = 0;

    // ESP and No Next Header end the chain like any upper protocol: nothing after them is read.
    for (int walked = 0; IsWalkedExtension(protocol); ++walked) {
        const std::span<const std::uint8_t> rest = datagram.first(end).subspan(upperOffset);
        if (walked == kMaximumExtensionHeaders || rest.size() < 8) {
            stopped = true;
            return true;
        }
        const std::size_t length = protocol == kFragment         ? 8
                                   : protocol == kAuthentication ? (rest[1] + 2u) * 4u
                                                                 : (rest[1] + 1u) * 8u;
        if (length > rest.size()) {
            stopped = true;
            return true;
        }
        if (protocol == kFragment) {
            fragmentOffset = static_cast<std::uint16_t>(((rest[2] << 8) | rest[3]) >> 3);
        }
        protocol = rest[0];
        upperOffset += length;
        // A later fragment's bytes are the payload's middle: they hold no further header.
        if (isLaterFragment()) return true;
    }
    return true;
}

}  // namespace ravelin
