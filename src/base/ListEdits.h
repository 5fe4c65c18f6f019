#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ravelin {

/// Neighbouring positions in a list: `count` of them from `first`.
struct PositionRun {
    std::size_t first = 0;
    std::size_t count = 0;

    bool operator==(const PositionRun&) const = default;
};

/// How one ordered list of ids turns into another by removals and insertions alone,
/// each run of neighbours at once: what a view of the list needs to hear to follow it.
struct ListEdits {
    /// The ids in both lists stand in another order: no removals and insertions say that.
    bool reordered = false;
    /// Runs of the old list's ids that are gone, bottom up, at their old positions: removed in
    /// this order, each run's positions still hold.
    std::vector<PositionRun> removals;
    /// Runs of the new list's ids that are new, top down, at their new positions: inserted
    /// after the removals and in this order, each run's positions hold.
    std::vector<PositionRun> insertions;
};

/// The edits that turn `before` into `after`; when `reordered`, no runs are given.
ListEdits ListEditsBetween(std::span<const std::uint64_t> before,
                           std::span<const std::uint64_t> after);

}  // namespace ravelin
