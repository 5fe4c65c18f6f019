#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "rows/Colour.h"
#include "rows/PacketRow.h"
#include "rows/RowStore.h"

namespace ravelin {

/// Background of packet rows marked by linking.
constexpr Colour kMarkColour = 0x005ACDA2;

/// The packet rows that linking has marked, each with the colour it had before, so that the
/// next link can give them their colours back.
class PacketMarks {
public:
    /// Paints `row` with `markColour`, first keeping its current colour unless the row is
    /// already marked (then the colour from before the first mark stays).
    void MarkRow(RowStore<PacketRow>& packets, int row, Colour markColour);

    /// Gives every marked row the colour it had before, in ascending row order, and forgets
    /// the marks.
    void RestoreMarks(RowStore<PacketRow>& packets);

    /// Forgets the marks without touching the rows, for after the list was cleared.
    void Forget();

    /// The marked rows, ascending.
    std::vector<int> Rows() const;

private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, Colour> savedColours_;
};

}  // namespace ravelin
