#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ravelin {

/// Whether frames of this data-link type (a libpcap DLT value) can carry IP datagrams that
/// ExtractIpDatagram knows how to find.
bool IsSupportedLinkType(int linkType);

/// Finds the IPv4 or IPv6 datagram in one captured frame: removes the link-layer header of the
/// given data-link type (Ethernet with any number of 802.1Q/802.1ad tags, Linux cooked v1 and
/// v2, raw IP by the version in its first byte, BSD loopback with any of the systems' AF_INET6
/// values) and cuts off trailing link padding beyond the datagram's total length (IPv6: 40 +
/// its payload length). A length of 0 (segmentation offload, see DatagramEnd; a jumbogram) cuts
/// nothing but what lies beyond the largest datagram the header could describe. Returns
/// nothing for frames that carry neither, or whose link header names one family and whose
/// datagram is of the other.
std::optional<std::span<const std::uint8_t>> ExtractIpDatagram(int linkType,
                                                               std::span<const std::uint8_t> frame);

}  // namespace ravelin
