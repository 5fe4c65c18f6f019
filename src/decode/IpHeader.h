#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "decode/TextForms.h"

namespace ravelin {

/// Name of an IP protocol number from the protocol table, or an empty text for a number the
/// table does not list.
std::string_view ProtocolName(std::uint8_t protocol);

/// Where a datagram of `received` bytes ends: at its total length, within the received bytes,
/// or, where the total length is 0, at the last received byte. A sending host with segmentation
/// offload captures its segments before the card cuts them up, and Linux writes 0 for segments
/// larger than 64 KiB (BIG TCP); Wireshark reads such a datagram the same way.
std::size_t DatagramEnd(std::uint16_t totalLength, std::size_t received);

/// The fixed part of an IPv4 header. Fields hold what the datagram says, unvalidated: the
/// caller decides how far to trust the lengths (see DecodeDatagram).
struct IpHeader {
    std::uint16_t totalLength = 0;
    std::uint8_t headerLength = 0;         ///< IHL in bytes: (byte 0 & 0x0F) * 4
    std::uint32_t destinationAddress = 0;  ///< network byte order
    std::uint32_t sourceAddress = 0;       ///< network byte order
    std::uint8_t protocol = 0;
    std::uint16_t checksum = 0;        ///< as stored, not converted
    std::uint16_t fragmentOffset = 0;  ///< in units of 8 bytes

    /// Reads the header from the first bytes of a datagram; false when fewer than 20 bytes.
    bool Parse(std::span<const std::uint8_t> datagram);

    /// A fragment after the first: its bytes carry on the datagram's payload where the one
    /// before stopped, so they begin with no transport header.
    bool isLaterFragment() const { return fragmentOffset != 0; }

    std::string_view protocolName() const { return ProtocolName(protocol); }
    FixedText<16> sourceText() const { return AddressText(sourceAddress); }
    FixedText<16> destinationText() const { return AddressText(destinationAddress); }
};

}  // namespace ravelin
