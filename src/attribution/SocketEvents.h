#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "attribution/SocketTable.h"

namespace ravelin {

/// What the kernel saw a process do with a socket, at the moment it did it: so that a process
/// that lives for a millisecond still owns its packets.
struct SocketEvent {
    enum class Kind {
        kOpened,  ///< bound, connected, accepted, sent or received: the socket has these ends
        kClosed,  ///< the connection closed; its flow may end once its last packets passed
    };
    Kind kind = Kind::kOpened;
    bool tcp = true;
    /// Addresses in network byte order, ports in host order; the remote end is zero for a UDP
    /// socket that was only bound.
    SocketEndpoints endpoints;
    int pid = -1;      ///< the thread group (process) id
    std::string name;  ///< the process's name (its thread-group leader's), not the thread's
};

/// Kernel socket events as they arrive. Used by one thread at a time.
class SocketEventSource {
public:
    virtual ~SocketEventSource() = default;
    /// Appends the events that arrived since the last call, oldest first; never waits.
    virtual void Drain(std::vector<SocketEvent>& events) = 0;
};

}  // namespace ravelin
