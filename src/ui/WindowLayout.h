#pragma once

#include <span>

namespace ravelin {

struct LayoutSize {
    int width = 0;
    int height = 0;

    bool operator==(const LayoutSize&) const = default;
};

struct LayoutRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const LayoutRect&) const = default;
};

/// What the window's layout depends on: the client area, the toolbar row at its top, the sizes
/// of the controls that keep their own size, and what the tree and the lists need.
struct LayoutInput {
    int clientWidth = 0;
    int clientHeight = 0;
    int toolbarHeight = 0;
    int toolbarWidth = 0;     ///< what the toolbar's buttons take of its row
    LayoutSize topmostCheck;  ///< the "前端显示" check box
    LayoutSize packetsLabel;  ///< "Packets:"
    LayoutSize httpsLabel;    ///< "HTTPs:"
    LayoutSize infoLabel;     ///< the information label at the top right
    LayoutSize stateLabel;    ///< "State:"
    LayoutSize modeLabel;     ///< the attribution mode, the least of it that is worth showing
    /// The tree's width for a process's id, a name of 20 characters and its sending rate; and
    /// the least that still shows a short name.
    int treePreferredWidth = 0;
    int treeMinimumWidth = 0;
    /// The least height of a list: its heading and a few rows.
    int listMinimumHeight = 0;
    /// The tree's width where the user dragged its edge; negative: the preferred width.
    int treeWidth = -1;
};

/// Where every control of the window goes.
struct WindowLayout {
    LayoutRect topmostCheck;
    LayoutRect processTree;  ///< the left column, between the toolbar and the status row
    LayoutRect treeDivider;  ///< the strip between the tree and the lists, dragged to resize
    LayoutRect httpList;     ///< top third of the right column
    LayoutRect packetList;   ///< middle third
    LayoutRect textPane;     ///< bottom third, left of the hex pane
    LayoutRect hexPane;      ///< bottom third, 310 wide at the right edge
    LayoutRect packetsLabel;
    LayoutRect httpsLabel;
    LayoutRect stateLabel;  ///< the status row's left end
    LayoutRect infoLabel;
    LayoutRect lossRoom;  ///< between the state and the counters
    LayoutRect modeRoom;  ///< in the toolbar's row, between the buttons and the check box
};

/// Width of the hex pane; the text pane takes the rest of the bottom row.
constexpr int kHexPaneWidth = 310;
/// What the tree leaves of the text pane at least, however wide it is dragged.
constexpr int kMinimumTextPaneWidth = 120;

/// Lays the window out for a client area. The tree takes its preferred (or dragged) width as
/// far as the right column keeps its minimum, and a wider window widens the lists and panes
/// only. Sizes never come out negative: a window below its minimum size (MinimumClientSize)
/// squeezes the controls, down to zero width or height.
WindowLayout ComputeLayout(const LayoutInput& input);

/// The least client area in which every pane keeps a usable size and the status row and the
/// toolbar's row show all their labels.
LayoutSize MinimumClientSize(const LayoutInput& input);

/// The width that makes a list's last column reach the list's right edge (the 21 pixels leave
/// room for the vertical scroll bar); `columnWidths` includes the last column, whose own width
/// does not count. Zero when the other columns already fill the list.
int StretchLastColumn(int listWidth, std::span<const int> columnWidths);

}  // namespace ravelin
