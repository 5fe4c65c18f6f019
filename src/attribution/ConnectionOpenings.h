#pragma once

#include <vector>

#include "attribution/SocketTable.h"

namespace ravelin {

/// The TCP connections this host opens, told as their first segment (the SYN) leaves, and not
/// a block of packets later: in time to find the process that holds the socket before a short
/// connection is over.
class ConnectionOpenings {
public:
    virtual ~ConnectionOpenings() = default;

    /// Waits until connections were opened and appends their ends, seen from this host. False
    /// once Stop was called or the source failed.
    virtual bool Wait(std::vector<SocketEndpoints>& openings) = 0;
    /// Makes Wait return false; called from another thread.
    virtual void Stop() = 0;
};

}  // namespace ravelin
