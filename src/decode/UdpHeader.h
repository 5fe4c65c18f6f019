#pragma once

#include <cstdint>
#include <span>

#include "decode/TextForms.h"

namespace ravelin {

/// The 8-byte UDP header.
struct UdpHeader {
    static constexpr std::uint8_t kHeaderLength = 8;

    std::uint8_t headerLength = kHeaderLength;
    std::uint16_t udpLength = 0;  ///< header plus payload, as the datagram claims
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint16_t checksum = 0;  ///< as stored, not converted

    /// Reads the header at the start of the span; false when fewer than 8 bytes are there.
    bool Parse(std::span<const std::uint8_t> datagram);

    FixedText<24> sourcePortText() const { return DecimalText(sourcePort); }
    FixedText<24> destinationPortText() const { return DecimalText(destinationPort); }
};

}  // namespace ravelin
