#pragma once

#include <cstdint>
#include <span>

#include "decode/TextForms.h"

namespace ravelin {

/// The fixed 20 bytes of a TCP header; options, window and urgent pointer are not read.
struct TcpHeader {
    std::uint8_t headerLength = 0;  ///< data offset in bytes: (byte 12 >> 4) * 4
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t sequenceNumber = 0;
    std::uint32_t ackNumber = 0;
    bool pshFlag = false;
    bool synFlag = false;
    bool ackFlag = false;
    std::uint16_t checksum = 0;  ///< as stored, not converted

    /// Reads the header at the start of the span; false when fewer than 20 bytes are there.
    bool Parse(std::span<const std::uint8_t> segment);

    FixedText<24> sourcePortText() const { return DecimalText(sourcePort); }
    FixedText<24> destinationPortText() const { return DecimalText(destinationPort); }
};

}  // namespace ravelin
