#include "ui/WindowLayout.h"

#include <algorithm>

namespace ravelin {

namespace {

constexpr int kGap = 2;

int NonNegative(int value) {
    return std::max(value, 0);
}

}  // namespace

WindowLayout ComputeLayout(const LayoutInput& in) {
    const int w = in.clientWidth;
    const int h = in.clientHeight;
    const int t = in.toolbarHeight;

    // Positions follow from the clamped sizes, so a tiny window stacks the controls at their
    // minimum offsets instead of letting them overlap backwards.
    int treeWidth = NonNegative(w / 4 - kGap);
    if (in.treeWidth >= 0) {
        // A dragged edge keeps the lists, the text pane and the status row usable, whatever
        // the window's size.
        const int statusRow =
            in.stateLabel.width + kGap + in.packetsLabel.width + kGap + in.httpsLabel.width;
        const int widest =
            w - kGap - std::max(kHexPaneWidth + 4 + kMinimumTextPaneWidth, statusRow);
        treeWidth = NonNegative(std::min(std::max(in.treeWidth, kMinimumTreeWidth), widest));
    }
    const int rightX = treeWidth + kGap;
    const int rightWidth = NonNegative(w - treeWidth - kGap);
    const int listHeight = NonNegative((h - t) / 3 - 1);
    const int y2 = t + listHeight + kGap;
    const int y3 = y2 + listHeight + kGap;
    const int paneHeight = NonNegative(listHeight - in.packetsLabel.height - kGap);
    const int textPaneWidth = NonNegative(w - treeWidth - (kHexPaneWidth + 4));

    WindowLayout out;
    out.topmostCheck = {w - in.infoLabel.width - kGap - in.topmostCheck.width - kGap, 0,
                        in.topmostCheck.width, in.topmostCheck.height};
    out.processTree = {0, t, treeWidth, NonNegative(h - t)};
    // The gap alone is too thin to catch with the mouse: the strip reaches a few pixels into the
    // lists' left frame (the tree's right edge holds its scroll bar).
    out.treeDivider = {treeWidth, t, kGap + 4, NonNegative(h - t)};
    out.httpList = {rightX, t, rightWidth, listHeight};
    out.packetList = {rightX, y2, rightWidth, listHeight};
    out.textPane = {rightX, y3, textPaneWidth, paneHeight};
    out.hexPane = {rightX + textPaneWidth + kGap, y3, kHexPaneWidth, paneHeight};
    out.httpsLabel = {w - in.httpsLabel.width, h - in.httpsLabel.height, in.httpsLabel.width,
                      in.httpsLabel.height};
    out.packetsLabel = {w - in.httpsLabel.width - in.packetsLabel.width - kGap,
                        h - in.packetsLabel.height, in.packetsLabel.width, in.packetsLabel.height};
    out.stateLabel = {rightX, h - in.packetsLabel.height, in.stateLabel.width,
                      in.stateLabel.height};
    out.infoLabel = {w - in.infoLabel.width - kGap, 0, in.infoLabel.width, in.infoLabel.height};
    return out;
}

int StretchLastColumn(int listWidth, std::span<const int> columnWidths) {
    if (columnWidths.empty()) return 0;
    int others = 0;
    for (int width : columnWidths.first(columnWidths.size() - 1)) others += width;
    constexpr int kScrollBarRoom = 21;
    return NonNegative(listWidth - others - kScrollBarRoom);
}

}  // namespace ravelin
