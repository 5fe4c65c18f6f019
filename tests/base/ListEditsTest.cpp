#include "base/ListEdits.h"

#include <gtest/gtest.h>

#include <vector>

namespace ravelin {
namespace {

using Ids = std::vector<std::uint64_t>;
using Runs = std::vector<PositionRun>;

// Plays the edits on `before` as a view would: the removals, then the insertions with the ids
// the new list has there.
Ids Played(Ids list, const ListEdits& edits, const Ids& after) {
    for (const PositionRun& run : edits.removals) {
        const auto first = list.begin() + static_cast<std::ptrdiff_t>(run.first);
        list.erase(first, first + static_cast<std::ptrdiff_t>(run.count));
    }
    for (const PositionRun& run : edits.insertions) {
        const auto from = after.begin() + static_cast<std::ptrdiff_t>(run.first);
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(run.first), from,
                    from + static_cast<std::ptrdiff_t>(run.count));
    }
    return list;
}

TEST(ListEditsTest, NeighboursGoAndComeAsOneRun) {
    const Ids before = {50, 40, 30, 10};
    const Ids after = {61, 60, 50, 10};
    const ListEdits edits = ListEditsBetween(before, after);
    EXPECT_FALSE(edits.reordered);
    EXPECT_EQ(edits.removals, (Runs{{1, 2}}));
    EXPECT_EQ(edits.insertions, (Runs{{0, 2}}));
    EXPECT_EQ(Played(before, edits, after), after);
}

TEST(ListEditsTest, RunsApartAreRemovedBottomUpAndInsertedTopDown) {
    const Ids before = {1, 2, 3, 4, 5, 6};
    const Ids after = {7, 1, 3, 8, 9, 5, 6, 10};
    const ListEdits edits = ListEditsBetween(before, after);
    EXPECT_FALSE(edits.reordered);
    EXPECT_EQ(edits.removals, (Runs{{3, 1}, {1, 1}}));
    EXPECT_EQ(edits.insertions, (Runs{{0, 1}, {3, 2}, {7, 1}}));
    EXPECT_EQ(Played(before, edits, after), after);
}

TEST(ListEditsTest, NoChangeAndAnEmptyListOnEitherSide) {
    const ListEdits same = ListEditsBetween(Ids{3, 2, 1}, Ids{3, 2, 1});
    EXPECT_FALSE(same.reordered);
    EXPECT_TRUE(same.removals.empty() && same.insertions.empty());
    const Ids some = {4, 5};
    const ListEdits filled = ListEditsBetween({}, some);
    EXPECT_TRUE(filled.removals.empty());
    EXPECT_EQ(filled.insertions, (Runs{{0, 2}}));
    const ListEdits emptied = ListEditsBetween(some, {});
    EXPECT_EQ(emptied.removals, (Runs{{0, 2}}));
    EXPECT_TRUE(emptied.insertions.empty());
    EXPECT_EQ(Played(some, emptied, {}), Ids{});
}

TEST(ListEditsTest, KeptIdsInAnotherOrderAreAReorder) {
    const ListEdits swapped = ListEditsBetween(Ids{1, 2, 3}, Ids{2, 1, 3});
    EXPECT_TRUE(swapped.reordered);
    EXPECT_TRUE(swapped.removals.empty());
    EXPECT_TRUE(swapped.insertions.empty());
    // With removals and insertions around them as well.
    EXPECT_TRUE(ListEditsBetween(Ids{1, 2, 3, 4}, Ids{5, 3, 2}).reordered);
    // An id that comes twice where it came once cannot be followed either.
    EXPECT_TRUE(ListEditsBetween(Ids{1, 2}, Ids{1, 2, 1}).reordered);
}

}  // namespace
}  // namespace ravelin
