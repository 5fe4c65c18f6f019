#include "analysis/PacketMarks.h"

#include <gtest/gtest.h>

#include <vector>

#include "analysis/PacketLinker.h"

namespace ravelin {
namespace {

using Rows = std::vector<int>;

/// Adds `count` rows, row i coloured 0x010000 + i so that every row's colour differs.
void AddColouredRows(RowStore<PacketRow>& store, int count) {
    for (int index = 0; index < count; ++index) {
        store.InsertRow(PacketRow{}, {}, static_cast<Colour>(0x010000 + index));
    }
}

Colour ColourOf(const RowStore<PacketRow>& store, int row) {
    return store.GetRowColour(static_cast<std::uint32_t>(row));
}

TEST(PacketMarksTest, MarkAndRestore) {
    RowStore<PacketRow> store;
    AddColouredRows(store, 5);
    PacketMarks marks;
    marks.MarkRow(store, 3, kMarkColour);
    marks.MarkRow(store, 1, kMarkColour);
    EXPECT_EQ(marks.Rows(), (Rows{1, 3}));
    EXPECT_EQ(ColourOf(store, 1), kMarkColour);
    EXPECT_EQ(ColourOf(store, 3), kMarkColour);
    EXPECT_EQ(ColourOf(store, 2), 0x010002U);

    marks.RestoreMarks(store);
    EXPECT_EQ(marks.Rows(), (Rows{}));
    for (int row = 0; row < 5; ++row) EXPECT_EQ(ColourOf(store, row), 0x010000U + row) << row;
}

TEST(PacketMarksTest, RowMarkedTwiceKeepsItsFirstColour) {
    RowStore<PacketRow> store;
    AddColouredRows(store, 3);
    PacketMarks marks;
    marks.MarkRow(store, 2, 0x00111111);
    marks.MarkRow(store, 2, 0x00222222);  // the colour saved now would be the first mark
    EXPECT_EQ(ColourOf(store, 2), 0x00222222U);
    EXPECT_EQ(marks.Rows(), (Rows{2}));
    marks.RestoreMarks(store);
    EXPECT_EQ(ColourOf(store, 2), 0x010002U);
}

TEST(PacketMarksTest, SecondLinkRestoresTheFirstBeforeMarking) {
    RowStore<PacketRow> store;
    AddColouredRows(store, 6);
    PacketMarks marks;
    for (int row : Rows{0, 2, 4}) marks.MarkRow(store, row, kMarkColour);

    // The next link: the old marks go first, then the new rows are marked.
    marks.RestoreMarks(store);
    for (int row : Rows{2, 3}) marks.MarkRow(store, row, kMarkColour);
    EXPECT_EQ(ColourOf(store, 0), 0x010000U);
    EXPECT_EQ(ColourOf(store, 4), 0x010004U);
    EXPECT_EQ(ColourOf(store, 2), kMarkColour);
    EXPECT_EQ(ColourOf(store, 3), kMarkColour);
    EXPECT_EQ(marks.Rows(), (Rows{2, 3}));

    // Row 2 was marked by both links: it gets back its colour from before the first.
    marks.RestoreMarks(store);
    EXPECT_EQ(ColourOf(store, 2), 0x010002U);
    EXPECT_EQ(ColourOf(store, 3), 0x010003U);
}

TEST(PacketMarksTest, RestoreWithoutMarksChangesNothing) {
    RowStore<PacketRow> store;
    AddColouredRows(store, 2);
    PacketMarks marks;
    marks.RestoreMarks(store);
    EXPECT_EQ(ColourOf(store, 0), 0x010000U);
    EXPECT_EQ(ColourOf(store, 1), 0x010001U);
    EXPECT_EQ(marks.Rows(), (Rows{}));
}

TEST(PacketMarksTest, ForgetLeavesTheRowsAlone) {
    RowStore<PacketRow> store;
    AddColouredRows(store, 2);
    PacketMarks marks;
    marks.MarkRow(store, 1, kMarkColour);
    marks.Forget();
    EXPECT_EQ(marks.Rows(), (Rows{}));
    marks.RestoreMarks(store);
    EXPECT_EQ(ColourOf(store, 1), kMarkColour);
}

TEST(PacketMarksTest, MarksTheRowsALinkFinds) {
    RowStore<PacketRow> store;
    auto add = [&](std::uint32_t seq, std::uint32_t ack, bool psh, Colour colour) {
        PacketRow row;
        row.record.sequenceNumber = seq;
        row.record.ackNumber = ack;
        row.record.pshFlag = psh;
        row.record.length = 4;
        store.InsertRow(row, {}, colour);
    };
    add(1000, 5000, true, kSentColour);
    add(5000, 1004, false, kReceivedColour);
    add(1004, 5004, false, kSentColour);
    add(5004, 1004, true, kReceivedColour);

    PacketMarks marks;
    for (int row : LinkedRows(store, 0)) marks.MarkRow(store, row, kMarkColour);
    EXPECT_EQ(marks.Rows(), (Rows{0, 1, 3}));
    EXPECT_EQ(ColourOf(store, 2), kSentColour);
    marks.RestoreMarks(store);
    EXPECT_EQ(ColourOf(store, 0), kSentColour);
    EXPECT_EQ(ColourOf(store, 1), kReceivedColour);
    EXPECT_EQ(ColourOf(store, 3), kReceivedColour);
}

}  // namespace
}  // namespace ravelin
