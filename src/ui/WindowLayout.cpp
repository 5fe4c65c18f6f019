#include "ui/WindowLayout.h"

#include <algorithm>

namespace ravelin {

namespace {

constexpr int kGap = 2;
// Between labels that share a row, and around the mode label.
constexpr int kLabelGap = 8;
constexpr int kModeGap = 12;
// The text pane, the gap and the hex pane: the least the right column takes.
constexpr int kRightColumnMinimum = kMinimumTextPaneWidth + kGap + kHexPaneWidth;

int NonNegative(int value) {
    return std::max(value, 0);
}

int StatusRowHeight(const LayoutInput& in) {
    return std::max({in.stateLabel.height, in.packetsLabel.height, in.httpsLabel.height});
}

}  // namespace

WindowLayout ComputeLayout(const LayoutInput& in) {
    const int w = in.clientWidth;
    const int h = in.clientHeight;
    const int t = in.toolbarHeight;

    // The tree is as wide as its nodes want (or as the user dragged it), never below its own
    // minimum while the right column keeps its own. Positions follow from the clamped sizes, so
    // a tiny window stacks the controls at their minimum offsets instead of letting them
    // overlap backwards.
    const int widest = NonNegative(w - kGap - kRightColumnMinimum);
    const int wanted = in.treeWidth >= 0 ? in.treeWidth : in.treePreferredWidth;
    const int treeWidth = std::min(std::max(wanted, in.treeMinimumWidth), widest);
    const int rightX = treeWidth + kGap;
    const int rightWidth = NonNegative(w - treeWidth - kGap);
    const int listHeight = NonNegative((h - t) / 3 - 1);
    const int y2 = t + listHeight + kGap;
    const int y3 = y2 + listHeight + kGap;
    const int paneHeight = NonNegative(listHeight - in.packetsLabel.height - kGap);
    const int textPaneWidth = NonNegative(w - treeWidth - (kHexPaneWidth + 4));
    // The status row runs along the whole bottom, below the tree too, so that the state, the
    // kernel's counts and the counters all find room.
    const int statusY = h - in.packetsLabel.height;
    const int treeHeight = NonNegative(h - StatusRowHeight(in) - kGap - t);

    WindowLayout out;
    out.topmostCheck = {w - in.infoLabel.width - kGap - in.topmostCheck.width - kGap, 0,
                        in.topmostCheck.width, in.topmostCheck.height};
    out.processTree = {0, t, treeWidth, treeHeight};
    // The gap alone is too thin to catch with the mouse: the strip reaches a few pixels into the
    // lists' left frame (the tree's right edge holds its scroll bar).
    out.treeDivider = {treeWidth, t, kGap + 4, treeHeight};
    out.httpList = {rightX, t, rightWidth, listHeight};
    out.packetList = {rightX, y2, rightWidth, listHeight};
    out.textPane = {rightX, y3, textPaneWidth, paneHeight};
    out.hexPane = {rightX + textPaneWidth + kGap, y3, kHexPaneWidth, paneHeight};
    out.httpsLabel = {w - in.httpsLabel.width, h - in.httpsLabel.height, in.httpsLabel.width,
                      in.httpsLabel.height};
    out.packetsLabel = {w - in.httpsLabel.width - in.packetsLabel.width - kGap,
                        h - in.packetsLabel.height, in.packetsLabel.width, in.packetsLabel.height};
    out.stateLabel = {0, statusY, in.stateLabel.width, in.stateLabel.height};
    out.infoLabel = {w - in.infoLabel.width - kGap, 0, in.infoLabel.width, in.infoLabel.height};
    const int lossX = in.stateLabel.width + kLabelGap;
    out.lossRoom = {lossX, statusY, NonNegative(out.packetsLabel.x - kLabelGap - lossX),
                    in.stateLabel.height};
    const int modeX = in.toolbarWidth + kModeGap;
    out.modeRoom = {modeX, 0, NonNegative(out.topmostCheck.x - kModeGap - modeX),
                    in.infoLabel.height};
    return out;
}

LayoutSize MinimumClientSize(const LayoutInput& in) {
    const int panes = in.treeMinimumWidth + kGap + kRightColumnMinimum;
    const int statusRow =
        in.stateLabel.width + kLabelGap + in.packetsLabel.width + kGap + in.httpsLabel.width;
    const int toolbarRow = in.toolbarWidth + kModeGap + in.modeLabel.width + kModeGap +
                           in.topmostCheck.width + kGap + in.infoLabel.width + kGap;
    // Each list (and so each pane, a label's height less) at least its minimum height.
    const int height = in.toolbarHeight + 3 * (in.listMinimumHeight + 1) + kGap;
    return {std::max({panes, statusRow, toolbarRow}), height};
}

int StretchLastColumn(int listWidth, std::span<const int> columnWidths) {
    if (columnWidths.empty()) return 0;
    int others = 0;
    for (int width : columnWidths.first(columnWidths.size() - 1)) others += width;
    constexpr int kScrollBarRoom = 21;
    return NonNegative(listWidth - others - kScrollBarRoom);
}

}  // namespace ravelin
