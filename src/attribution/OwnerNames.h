#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>

#include "attribution/PortOwnerLookup.h"
#include "attribution/ProcessSource.h"

namespace ravelin {

/// The image names of packet owners, for the comments of a saved capture. Asked on the
/// pipeline thread for every listed packet that has an owner, so names are kept: the name a
/// kernel event gave (it outlives the process), else the process's own, read again once an
/// entry is a second old, since pids are reused.
class OwnerNames {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kKeptFor = std::chrono::seconds(1);
    static constexpr std::size_t kMaximumEntries = 4096;

    OwnerNames(const PortOwnerLookup& lookup, ProcessSource& processes)
        : lookup_(lookup), processes_(processes) {}

    /// The name of `pid`, empty when nothing knows it; valid until the next call.
    std::string_view Name(int pid, Clock::time_point now);

private:
    struct Entry {
        std::string name;
        Clock::time_point readAt;
    };
    const PortOwnerLookup& lookup_;
    ProcessSource& processes_;
    std::unordered_map<int, Entry> entries_;
};

}  // namespace ravelin
