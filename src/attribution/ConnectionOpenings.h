#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "attribution/SocketTable.h"

namespace ravelin {

/// The TCP connections this host opens, told as their first segment (the SYN) leaves, and not
/// a block of packets later: in time to find the process that holds the socket before a short
/// connection is over.
class ConnectionOpenings {
public:
    virtual ~ConnectionOpenings() = default;

    enum class Waited { kOpened, kQuiet, kStopped };

    /// Waits up to `quiet` until connections were opened and appends their ends, seen from this
    /// host: kOpened. kQuiet when none came in that time (a zero time only looks), kStopped
    /// once Stop was called or the source failed.
    virtual Waited Wait(std::vector<SocketEndpoints>& openings,
                        std::chrono::milliseconds quiet) = 0;
    /// Makes Wait return false; called from another thread.
    virtual void Stop() = 0;
};

/// The ends of the connection a SYN this host sent opens, from the SYN's IP header on; nothing
/// for bytes that are not a TCP segment.
std::optional<SocketEndpoints> OpeningOfSyn(std::span<const std::uint8_t> datagram);

}  // namespace ravelin
