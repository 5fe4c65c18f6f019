#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "engine/SystemServices.h"

#include "decode/IpAddress.h"

namespace ravelin {

/// What an engine is asked to do, given once when it is built: the window's choices and the
/// headless mode's are both made in app/, from the command line and the configuration file.
struct MonitorOptions {
    /// Which processes' traffic is listed.
    enum class Selection {
        kEverything,  ///< every process's, and traffic nobody owns
        kTreeTicks,   ///< the processes ticked in the process tree
        kPids,        ///< the processes in `pids`
    };
    /// When the owner of a packet is looked up.
    enum class OwnerLookup {
        kWhenFiltering,  ///< only while some process is not selected
        kAlways,         ///< for every TCP and UDP packet, so that observers learn its owner
    };

    /// Whether owners are found at all: a run that neither shows, selects, counts nor saves
    /// them leaves the system's tables alone.
    bool findOwners = true;
    /// How owners are found.
    AttributionChoice attribution = AttributionChoice::kAuto;
    Selection selection = Selection::kEverything;
    std::unordered_set<int> pids;
    OwnerLookup lookup = OwnerLookup::kWhenFiltering;
    /// Counts every packet for its owner, listed or not (owners are known only while they are
    /// looked up).
    bool countTraffic = false;
    /// The address capture binds to first; none: it waits for one.
    std::optional<IpAddress> address;
    /// A saved capture replayed instead of live traffic; its recorded owners make the tree.
    std::optional<std::string> replayFile;
    /// The configuration file whose extension colours the HTTP rows get.
    std::string configPath;
    /// A replayed file is read and listed at the lowest priority, so that the window's thread
    /// stays smooth while the replay keeps every core busy.
    bool replayGivesWay = false;
    /// Live capture starts as soon as the engine is prepared, on `address` (the headless
    /// mode): the kernel socket events are then loaded by the capture's own helper, once.
    bool capturesAtOnce = false;
    /// How many packets are listed at most; none: no limit.
    std::optional<std::size_t> listingLimit;
};

}  // namespace ravelin
