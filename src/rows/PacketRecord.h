#pragma once

#include <cstdint>

namespace ravelin {

/// What every packet row keeps of its packet for the data panes, linking and export.
/// Never changed after its row is listed. The payload bytes themselves are in the payload
/// spool, at payloadOffset(), for as long as the row is listed (CaptureLists::ReadPacket).
/// Packed tight: a million rows of a long capture are mostly these records.
struct PacketRecord {
    /// Spool offsets have 40 bits: a terabyte of captured frames.
    static constexpr std::uint64_t kMaximumPayloadOffset = (std::uint64_t{1} << 40) - 1;

    std::uint32_t sequenceNumber = 0;  ///< TCP only, host order
    std::uint32_t ackNumber = 0;       ///< TCP only, host order
    std::uint32_t payloadOffsetLow = 0;
    std::uint16_t length = 0;  ///< payload bytes (an IPv4 datagram holds at most 65515); 0: none
    std::uint8_t payloadOffsetHigh = 0;
    bool synFlag : 1 = false;
    bool ackFlag : 1 = false;
    bool pshFlag : 1 = false;

    /// Where the payload begins in the spool.
    std::uint64_t payloadOffset() const {
        return std::uint64_t{payloadOffsetHigh} << 32 | payloadOffsetLow;
    }
    void SetPayloadOffset(std::uint64_t offset) {
        payloadOffsetLow = static_cast<std::uint32_t>(offset);
        payloadOffsetHigh = static_cast<std::uint8_t>(offset >> 32);
    }
};

}  // namespace ravelin
