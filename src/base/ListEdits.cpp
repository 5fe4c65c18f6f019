#include "base/ListEdits.h"

#include <algorithm>
#include <unordered_set>

namespace ravelin {

namespace {

// Maximal runs of positions whose id `isRun` picks, top down.
template <typename IsRun>
std::vector<PositionRun> RunsOf(std::span<const std::uint64_t> ids, IsRun isRun) {
    std::vector<PositionRun> runs;
    for (std::size_t at = 0; at < ids.size();) {
        if (!isRun(ids[at])) {
            ++at;
            continue;
        }
        std::size_t end = at + 1;
        while (end < ids.size() && isRun(ids[end])) ++end;
        runs.push_back({at, end - at});
        at = end;
    }
    return runs;
}

}  // namespace

ListEdits ListEditsBetween(std::span<const std::uint64_t> before,
                           std::span<const std::uint64_t> after) {
    const std::unordered_set<std::uint64_t> beforeIds(before.begin(), before.end());
    const std::unordered_set<std::uint64_t> afterIds(after.begin(), after.end());

    ListEdits edits;
    // Kept ids must keep their order for removals and insertions to describe the change.
    std::vector<std::uint64_t> keptBefore;
    for (const std::uint64_t id : before) {
        if (afterIds.contains(id)) keptBefore.push_back(id);
    }
    std::vector<std::uint64_t> keptAfter;
    for (const std::uint64_t id : after) {
        if (beforeIds.contains(id)) keptAfter.push_back(id);
    }
    if (keptBefore != keptAfter) {
        edits.reordered = true;
        return edits;
    }

    // Bottom up, so that the rows above a removed run keep their numbers.
    edits.removals = RunsOf(before, [&](std::uint64_t id) { return !afterIds.contains(id); });
    std::reverse(edits.removals.begin(), edits.removals.end());
    // Once the removals are made, the list holds the kept ids in the new order: every new id
    // goes in at its new position.
    edits.insertions = RunsOf(after, [&](std::uint64_t id) { return !beforeIds.contains(id); });
    return edits;
}

}  // namespace ravelin
