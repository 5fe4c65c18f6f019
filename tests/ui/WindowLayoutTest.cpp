#include "ui/WindowLayout.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace ravelin {
namespace {

LayoutInput Input(int width, int height, int toolbar = 26) {
    LayoutInput input;
    input.clientWidth = width;
    input.clientHeight = height;
    input.toolbarHeight = toolbar;
    input.topmostCheck = {80, 20};
    input.packetsLabel = {120, 15};
    input.httpsLabel = {100, 15};
    input.infoLabel = {200, 17};
    input.stateLabel = {150, 15};
    input.treePreferredWidth = 250;
    input.treeMinimumWidth = 120;
    return input;
}

std::vector<LayoutRect> AllRects(const WindowLayout& l) {
    return {l.topmostCheck, l.processTree, l.treeDivider,  l.httpList,   l.packetList,
            l.textPane,     l.hexPane,     l.packetsLabel, l.httpsLabel, l.stateLabel,
            l.infoLabel,    l.lossRoom,    l.modeRoom};
}

TEST(LayoutTest, WorkedExample) {
    const WindowLayout l = ComputeLayout(Input(1009, 691));

    // The tree stops above the status row, which spans the window.
    EXPECT_EQ(l.processTree, (LayoutRect{0, 26, 250, 648}));
    EXPECT_EQ(l.httpList, (LayoutRect{252, 26, 757, 220}));
    EXPECT_EQ(l.packetList, (LayoutRect{252, 248, 757, 220}));
    EXPECT_EQ(l.textPane, (LayoutRect{252, 470, 445, 203}));
    EXPECT_EQ(l.hexPane, (LayoutRect{699, 470, 310, 203}));
    EXPECT_EQ(l.hexPane.x + l.hexPane.width, 1009);  // flush with the right edge

    EXPECT_EQ(l.httpsLabel, (LayoutRect{909, 676, 100, 15}));
    EXPECT_EQ(l.packetsLabel, (LayoutRect{787, 676, 120, 15}));
    EXPECT_EQ(l.stateLabel, (LayoutRect{0, 676, 150, 15}));
    EXPECT_EQ(l.lossRoom, (LayoutRect{158, 676, 787 - 8 - 158, 15}));
    EXPECT_EQ(l.infoLabel, (LayoutRect{807, 0, 200, 17}));
    EXPECT_EQ(l.topmostCheck, (LayoutRect{725, 0, 80, 20}));
}

TEST(LayoutTest, BothListsAlwaysShareOneHeight) {
    for (int height = 0; height < 900; height += 7) {
        const WindowLayout l = ComputeLayout(Input(800, height));
        EXPECT_EQ(l.httpList.height, l.packetList.height) << height;
        EXPECT_EQ(l.textPane.height, l.hexPane.height) << height;
    }
}

TEST(LayoutTest, ToolbarHeightMovesTheWholeRightColumn) {
    const WindowLayout low = ComputeLayout(Input(1009, 691, 26));
    const WindowLayout high = ComputeLayout(Input(1009, 691 + 14, 40));  // same room below

    EXPECT_EQ(high.processTree.y, 40);
    EXPECT_EQ(high.processTree.height, low.processTree.height);
    for (auto member : {&WindowLayout::httpList, &WindowLayout::packetList, &WindowLayout::textPane,
                        &WindowLayout::hexPane}) {
        const LayoutRect before = low.*member;
        const LayoutRect after = high.*member;
        EXPECT_EQ(after.y - before.y, 14);
        EXPECT_EQ(after.x, before.x);
        EXPECT_EQ(after.width, before.width);
        EXPECT_EQ(after.height, before.height);
    }

    // A taller toolbar in the same window leaves less for the lists.
    const WindowLayout squeezed = ComputeLayout(Input(1009, 691, 56));
    EXPECT_EQ(squeezed.httpList.y, 56);
    EXPECT_EQ(squeezed.httpList.height, (691 - 56) / 3 - 1);
    EXPECT_LT(squeezed.packetList.height, low.packetList.height);
}

TEST(LayoutTest, TinyWindowsNeverGiveNegativeSizes) {
    for (int width : {0, 1, 7, 8, 100, 313, 400}) {
        for (int height : {0, 1, 20, 26, 28, 29, 45, 60}) {
            LayoutInput input = Input(width, height);
            input.treeWidth = height % 2 == 0 ? -1 : 500;  // a dragged edge too
            const WindowLayout l = ComputeLayout(input);
            for (const LayoutRect& rect : AllRects(l)) {
                EXPECT_GE(rect.width, 0) << width << "x" << height;
                EXPECT_GE(rect.height, 0) << width << "x" << height;
            }
            // The panes still start below both lists.
            EXPECT_GE(l.packetList.y, l.httpList.y + l.httpList.height);
            EXPECT_GE(l.textPane.y, l.packetList.y + l.packetList.height);
        }
    }
    const WindowLayout l = ComputeLayout(Input(0, 0));
    EXPECT_EQ(l.processTree, (LayoutRect{0, 26, 0, 0}));
    EXPECT_EQ(l.textPane.width, 0);
}

TEST(LayoutTest, LastColumnTakesTheRestOfTheList) {
    const std::array widths{50, 60, 70, 999};
    EXPECT_EQ(StretchLastColumn(757, widths), 757 - 180 - 21);
    // Only the other columns count, whatever the last one is now.
    EXPECT_EQ(StretchLastColumn(757, std::array{50, 60, 70, 1}), 757 - 180 - 21);
    EXPECT_EQ(StretchLastColumn(100, std::array{100}), 79);
}

TEST(LayoutTest, LastColumnNeverNegative) {
    EXPECT_EQ(StretchLastColumn(200, std::array{100, 100, 50}), 0);
    EXPECT_EQ(StretchLastColumn(0, std::array{10}), 0);
    EXPECT_EQ(StretchLastColumn(500, std::span<const int>{}), 0);
}

}  // namespace
}  // namespace ravelin
