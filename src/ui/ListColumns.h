#pragma once

#include <QString>

#include <vector>

namespace ravelin {

/// One column of a list, as the list shows it.
struct ListColumn {
    const char* heading;
    /// Its width in pixels where the desktop's font is as small as the classic 6-pixel one.
    int width;
    /// The widest text it shows, where that is known: the column then holds it in any font.
    QString widest;
};

/// The packet list's columns, in the order of the packet row's cells.
const std::vector<ListColumn>& PacketListColumns();
/// The HTTP list's columns, in the order of the HTTP row's cells.
const std::vector<ListColumn>& HttpListColumns();

}  // namespace ravelin
