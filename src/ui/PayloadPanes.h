#pragma once

#include <QWidget>

#include "rows/CaptureLists.h"
#include "ui/DataEdit.h"

namespace ravelin {

/// The two data panes below the lists: one packet's payload as text and as hex, a selection in
/// one mirrored byte for byte in the other.
class PayloadPanes {
public:
    /// Makes both panes as children of `window`.
    PayloadPanes(QWidget& window, const CaptureLists& lists);

    /// Shows a packet row's payload (both panes empty for a row without one).
    void ShowPacket(int row);
    void Clear();

    DataEdit* textPane() const { return text_; }
    DataEdit* hexPane() const { return hex_; }

private:
    const CaptureLists& lists_;
    // Owned by the window.
    DataEdit* text_;
    DataEdit* hex_;
};

}  // namespace ravelin
