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

/// What the window's layout depends on: the client area, the toolbar row at its top, and the
/// sizes of the controls that keep their own size.
struct LayoutInput {
    int clientWidth = 0;
    int clientHeight = 0;
    int toolbarHeight = 0;
    LayoutSize topmostCheck;  ///< the "前端显示" check box
    LayoutSize packetsLabel;  ///< "Packets:"
    LayoutSize httpsLabel;    ///< "HTTPs:"
    LayoutSize infoLabel;     ///< the information label at the top right
    LayoutSize stateLabel;    ///< "State:"
    /// The tree's width where the user dragged its edge; negative: a quarter of the window.
    int treeWidth = -1;
};

/// Where every control of the window goes.
struct WindowLayout {
    LayoutRect topmostCheck;
    LayoutRect processTree;  ///< the left quarter, below the toolbar
    LayoutRect treeDivider;  ///< the strip between the tree and the lists, dragged to resize
    LayoutRect httpList;     ///< top third of the right column
    LayoutRect packetList;   ///< middle third
    LayoutRect textPane;     ///< bottom third, left of the hex pane
    LayoutRect hexPane;      ///< bottom third, 310 wide at the right edge
    LayoutRect packetsLabel;
    LayoutRect httpsLabel;
    LayoutRect stateLabel;
    LayoutRect infoLabel;
};

/// Width of the hex pane; the text pane takes the rest of the bottom row.
constexpr int kHexPaneWidth = 310;
/// What a dragged tree edge leaves of the text pane at least, and of the tree.
constexpr int kMinimumTextPaneWidth = 120;
constexpr int kMinimumTreeWidth = 60;

/// Lays the window out for a client area. Sizes never come out negative: a window too small
/// for a control gives it zero width or height.
WindowLayout ComputeLayout(const LayoutInput& input);

/// The width that makes a list's last column reach the list's right edge (the 21 pixels leave
/// room for the vertical scroll bar); `columnWidths` includes the last column, whose own width
/// does not count. Zero when the other columns already fill the list.
int StretchLastColumn(int listWidth, std::span<const int> columnWidths);

}  // namespace ravelin
