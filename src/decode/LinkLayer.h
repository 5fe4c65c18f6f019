#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ravelin {

/// Whether frames of this data-link type (a libpcap DLT value) can carry IPv4 datagrams that
/// ExtractIpv4Datagram knows how to find.
bool IsSupportedLinkType(int linkType);

/// Finds the IPv4 datagram in one captured frame: removes the link-layer header of the given
/// data-link type (Ethernet with any number of 802.1Q/802.1ad tags, Linux cooked v1 and v2, raw
/// IP, BSD loopback) and cuts off trailing link padding beyond the datagram's total length. A
/// total length of 0 (segmentation offload, see DatagramEnd) cuts nothing but what lies beyond
/// 65535 bytes. Returns nothing for frames that carry no IPv4 datagram.
std::optional<std::span<const std::uint8_t>> ExtractIpv4Datagram(
    int linkType, std::span<const std::uint8_t> frame);

}  // namespace ravelin
