#include "analysis/PacketMarks.h"

namespace ravelin {

void PacketMarks::MarkRow(RowStore<PacketRow>& packets, int row, Colour markColour) {
    if (row < 0) return;
    const auto index = static_cast<std::uint32_t>(row);
    std::lock_guard lock(mutex_);
    // Packet rows are always listed with a colour, so the 0 that GetRowColour gives for "none"
    // does not arise for them and restoring the saved value is exact.
    savedColours_.try_emplace(index, packets.GetRowColour(index));
    packets.SetRowColour(index, markColour);
}

void PacketMarks::RestoreMarks(RowStore<PacketRow>& packets) {
    std::lock_guard lock(mutex_);
    for (const auto& [index, colour] : savedColours_) packets.SetRowColour(index, colour);
    savedColours_.clear();
}

void PacketMarks::Forget() {
    std::lock_guard lock(mutex_);
    savedColours_.clear();
}

std::vector<int> PacketMarks::Rows() const {
    std::lock_guard lock(mutex_);
    std::vector<int> rows;
    rows.reserve(savedColours_.size());
    for (const auto& entry : savedColours_) rows.push_back(static_cast<int>(entry.first));
    return rows;
}

}  // namespace ravelin
