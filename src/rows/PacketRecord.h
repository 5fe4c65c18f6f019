#pragma once

#include <cstdint>
#include <span>

namespace ravelin {

/// What every packet row keeps of its packet for the data panes, linking and export.
/// Never changed after its row is listed. The payload bytes belong to the row store that holds
/// the row, so `data` stays valid exactly as long as the row does.
struct PacketRecord {
    const std::uint8_t* data = nullptr;  ///< exactly `length` bytes, no terminator
    std::int32_t length = 0;             ///< payload bytes held in `data`; 0 means none
    std::uint32_t sequenceNumber = 0;    ///< TCP only, host order
    std::uint32_t ackNumber = 0;         ///< TCP only, host order
    bool synFlag = false;
    bool ackFlag = false;
    bool pshFlag = false;

    std::span<const std::uint8_t> payload() const {
        if (length <= 0 || data == nullptr) return {};
        return {data, static_cast<std::size_t>(length)};
    }
};

}  // namespace ravelin
