#include "attribution/ConnectionOwners.h"

namespace ravelin {

ConnectionOwners::Key ConnectionOwners::MakeKey(const SocketEndpoints& connection) {
    return {(std::uint64_t{connection.localAddress} << 32) | connection.remoteAddress,
            (std::uint32_t{connection.localPort} << 16) | connection.remotePort};
}

void ConnectionOwners::DropExpired(Clock::time_point now) {
    while (!recency_.empty()) {
        const auto oldest = entries_.find(recency_.back());
        if (now - oldest->second.lastSeen < idleLimit_) break;
        entries_.erase(oldest);
        recency_.pop_back();
    }
}

void ConnectionOwners::Remember(const SocketEndpoints& connection, int pid, Clock::time_point now) {
    DropExpired(now);
    const Key key = MakeKey(connection);
    if (auto found = entries_.find(key); found != entries_.end()) {
        found->second.pid = pid;
        found->second.lastSeen = now;
        recency_.splice(recency_.begin(), recency_, found->second.recency);
        return;
    }
    if (capacity_ == 0) return;
    if (entries_.size() >= capacity_) {
        entries_.erase(recency_.back());
        recency_.pop_back();
    }
    recency_.push_front(key);
    entries_.emplace(key, Entry{pid, now, recency_.begin()});
}

std::optional<int> ConnectionOwners::Find(const SocketEndpoints& connection,
                                          Clock::time_point now) {
    DropExpired(now);
    const auto found = entries_.find(MakeKey(connection));
    if (found == entries_.end()) return std::nullopt;
    found->second.lastSeen = now;
    recency_.splice(recency_.begin(), recency_, found->second.recency);
    return found->second.pid;
}

void ConnectionOwners::Forget(const SocketEndpoints& connection) {
    const auto found = entries_.find(MakeKey(connection));
    if (found == entries_.end()) return;
    recency_.erase(found->second.recency);
    entries_.erase(found);
}

}  // namespace ravelin
