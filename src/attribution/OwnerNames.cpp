#include "attribution/OwnerNames.h"

namespace ravelin {

std::string_view OwnerNames::Name(int pid, Clock::time_point now) {
    if (const auto found = entries_.find(pid);
        found != entries_.end() && now - found->second.readAt < kKeptFor) {
        return found->second.name;
    }
    if (entries_.size() >= kMaximumEntries) entries_.clear();
    Entry& entry = entries_[pid];
    entry.readAt = now;
    if (auto name = lookup_.ProcessName(pid)) {
        entry.name = std::move(*name);
    } else if (auto own = processes_.ImageName(pid)) {
        entry.name = std::move(*own);
    }
    // A process that ended keeps the name it was last known by.
    return entry.name;
}

}  // namespace ravelin
