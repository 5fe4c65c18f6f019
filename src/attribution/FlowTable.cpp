#include "attribution/FlowTable.h"

#include <algorithm>
#include <cstring>

namespace ravelin {

FlowTable::Key FlowTable::MakeKey(const Flow& flow) {
    const SocketEndpoints& ends = flow.ends;
    Key key{};
    std::memcpy(key.addresses.data(), ends.localAddress.bytes.data(), 16);
    std::memcpy(key.addresses.data() + 2, ends.remoteAddress.bytes.data(), 16);
    key.portsAndFamily = (std::uint64_t{ends.localPort} << 32) |
                         (std::uint64_t{ends.remotePort} << 16) | (ends.ipv6() ? 2U : 0U) |
                         (flow.tcp ? 1U : 0U);
    return key;
}

FlowTable::Clock::duration FlowTable::FirstRecheck(int pid, Source source) {
    if (source == Source::kListener) return Clock::duration::zero();
    return source == Source::kDerived && pid >= 0 ? kOwnedPortRecheck : kRecheckInterval;
}

FlowTable::Clock::duration FlowTable::NextRecheck(int pid, Source source, Clock::duration last) {
    if (source == Source::kDerived && pid >= 0) return kOwnedPortRecheck;
    return std::clamp(last * 2, kRecheckInterval, kLongestRecheck);
}

void FlowTable::Erase(std::unordered_map<Key, Entry, KeyHash>::iterator entry) {
    recency_.erase(entry->second.recency);
    entries_.erase(entry);
}

void FlowTable::DropExpired(Clock::time_point now) {
    // Idle flows end within a second of their limit; looking once a second keeps a busy flow's
    // lookup to one hash probe.
    if (now - lastExpiry_ < std::chrono::seconds(1)) return;
    lastExpiry_ = now;
    // Only the least recently used end is looked at: a flow in use is never idle, and closed
    // flows that are still in use go when they are next hit.
    while (!recency_.empty() && now - recency_.back().lastSeen >= idleLimit_) {
        Erase(entries_.find(recency_.back().key));
    }
}

std::optional<FlowTable::Owner> FlowTable::Hit(const Key& key, Clock::time_point now) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    Entry& entry = found->second;
    if (entry.closedAt && now - *entry.closedAt >= kCloseGrace) {
        Erase(found);
        return std::nullopt;
    }
    entry.recency->lastSeen = now;
    if (entry.recency != recency_.begin()) {
        recency_.splice(recency_.begin(), recency_, entry.recency);
    }
    const bool provisional =
        entry.source != Source::kKernelEvent && entry.source != Source::kConnection;
    const bool stale = provisional && now - entry.decided >= entry.recheckAfter;
    return Owner{entry.pid, entry.source, stale};
}

std::optional<FlowTable::Owner> FlowTable::Find(const Flow& flow, Clock::time_point now) {
    DropExpired(now);
    if (auto owner = Hit(MakeKey(flow), now)) return owner;
    if (entries_.empty()) return std::nullopt;
    // A socket bound to no address in particular (an unbound UDP sender) names its flows so,
    // with the any-address of the flow's family.
    IpAddress any;
    any.ipv6 = flow.ends.ipv6();
    Flow anyLocal = flow;
    anyLocal.ends.localAddress = any;
    if (auto owner = Hit(MakeKey(anyLocal), now)) return owner;
    // A socket that was only bound (a UDP receiver, a listener) owns every flow on its end.
    Flow bound{flow.tcp, {flow.ends.localAddress, flow.ends.localPort, any, 0}};
    if (auto owner = Hit(MakeKey(bound), now)) return owner;
    bound.ends.localAddress = any;
    return Hit(MakeKey(bound), now);
}

void FlowTable::Remember(const Flow& flow, int pid, Source source, Clock::time_point now) {
    DropExpired(now);
    const Key key = MakeKey(flow);
    if (auto found = entries_.find(key); found != entries_.end()) {
        Entry& entry = found->second;
        const bool sameAnswer = entry.pid == pid && entry.source == source;
        entry.recheckAfter =
            sameAnswer ? NextRecheck(pid, source, entry.recheckAfter) : FirstRecheck(pid, source);
        entry.pid = pid;
        entry.source = source;
        entry.decided = now;
        entry.recency->lastSeen = now;
        entry.closedAt.reset();
        recency_.splice(recency_.begin(), recency_, entry.recency);
        return;
    }
    if (capacity_ == 0) return;
    if (entries_.size() >= capacity_) Erase(entries_.find(recency_.back().key));
    recency_.push_front({key, now});
    entries_.emplace(
        key, Entry{pid, source, now, FirstRecheck(pid, source), std::nullopt, recency_.begin()});
}

void FlowTable::Forget(const Flow& flow) {
    const auto found = entries_.find(MakeKey(flow));
    if (found != entries_.end() && found->second.source != Source::kKernelEvent) Erase(found);
}

void FlowTable::Close(const Flow& flow, Clock::time_point now) {
    if (const auto found = entries_.find(MakeKey(flow)); found != entries_.end()) {
        if (!found->second.closedAt) found->second.closedAt = now;
    }
}

}  // namespace ravelin
