#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

#include "attribution/SocketTable.h"

namespace ravelin {

/// The owners found for TCP connections, remembered while the connection lives: a closed
/// socket (FIN after close(), TIME_WAIT) has no owner in the tables any more, yet its last
/// packets plainly belong to the process that owned it. Bounded: an entry goes after a while
/// without traffic, and the least recently seen goes first when the map is full.
class ConnectionOwners {
public:
    using Clock = std::chrono::steady_clock;

    explicit ConnectionOwners(std::size_t capacity = 65536,
                              Clock::duration idleLimit = std::chrono::minutes(5))
        : capacity_(capacity), idleLimit_(idleLimit) {}

    void Remember(const SocketEndpoints& connection, int pid, Clock::time_point now);
    /// The remembered owner; a hit counts as traffic on the connection.
    std::optional<int> Find(const SocketEndpoints& connection, Clock::time_point now);
    /// A new connection reuses the pair: whatever was remembered for it is stale.
    void Forget(const SocketEndpoints& connection);

    std::size_t size() const { return entries_.size(); }

private:
    struct Key {
        std::uint64_t addresses;
        std::uint32_t ports;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return std::hash<std::uint64_t>{}(key.addresses * 0x9E3779B97F4A7C15ULL ^ key.ports);
        }
    };
    struct Entry {
        int pid;
        Clock::time_point lastSeen;
        std::list<Key>::iterator recency;  // position in recency_, most recent at the front
    };

    static Key MakeKey(const SocketEndpoints& connection);
    void DropExpired(Clock::time_point now);

    std::size_t capacity_;
    Clock::duration idleLimit_;
    std::unordered_map<Key, Entry, KeyHash> entries_;
    std::list<Key> recency_;
};

}  // namespace ravelin
