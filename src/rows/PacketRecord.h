#pragma once

#include <cstdint>

namespace ravelin {

/// What every packet row keeps of its packet for the data panes, linking and export.
/// Never changed after its row is listed. The payload bytes themselves are in the payload
/// spool, at `payloadOffset`, for as long as the row is listed (CaptureLists::ReadPacket).
struct PacketRecord {
    std::uint64_t payloadOffset = 0;  ///< where the payload begins in the spool
    std::int32_t length = 0;          ///< payload bytes; 0 means none
    std::uint32_t sequenceNumber = 0;    ///< TCP only, host order
    std::uint32_t ackNumber = 0;         ///< TCP only, host order
    bool synFlag = false;
    bool ackFlag = false;
    bool pshFlag = false;
};

}  // namespace ravelin
