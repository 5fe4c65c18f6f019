#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

#include "attribution/SocketTable.h"

namespace ravelin {

/// A TCP or UDP flow as this host sees it: the protocol and both ends, of either family.
struct Flow {
    bool tcp = true;
    SocketEndpoints ends;
};

/// The owner of each flow, found once and reused for the flow's later packets, so that a busy
/// flow costs a hash lookup instead of a trip to the kernel's tables. It also keeps the owners
/// of flows whose socket is gone (the FIN after close(), TIME_WAIT, a client that exited), for
/// their last packets plainly belong to that process.
///
/// An owner is firm when something named this very flow's socket (a kernel event, an exact
/// connection lookup) and provisional when it was derived (a listener, the UDP table, or
/// nobody). How soon a provisional owner is looked up again depends on how it may be wrong:
///  - a listener's owner at the next packet: the connection gets a socket of its own once it
///    is accepted, and the process that accepts it may hand it to a child (a forking server);
///  - a UDP port's owner after kOwnedPortRecheck, every time: another process may take the
///    port as soon as its owner closed it, and a stale answer would name the wrong process;
///  - nobody after kRecheckInterval, and after twice as long each time the answer stays the
///    same (up to kLongestRecheck), so that flows nobody owns here (a replayed file's) do not
///    keep asking the kernel; a listener's owner that stays goes the same way.
/// An entry ends when
/// a SYN reuses the pair (Forget), a short while after its socket closed (Close), after
/// `idleLimit` without traffic, or, when the table is full, least recently used first.
class FlowTable {
public:
    using Clock = std::chrono::steady_clock;

    /// Where an owner came from.
    enum class Source {
        kKernelEvent,  ///< the kernel saw the process make this socket: firm
        kConnection,   ///< the flow's own socket in the tables: firm
        kListener,     ///< the listening socket of the port: provisional until accepted
        /// the flow's own socket, held by the process that listens on the port: provisional
        /// until that side sends data or kRecheckInterval passed, for a server may hand the
        /// connection to a child first
        kAccepted,
        kDerived,  ///< the UDP table, or nobody found: provisional
    };

    struct Owner {
        int pid = -1;
        Source source = Source::kDerived;
        /// A provisional owner that is due to be looked up again.
        bool stale = false;
    };

    static constexpr std::size_t kDefaultCapacity = 65536;
    static constexpr Clock::duration kDefaultIdleLimit = std::chrono::minutes(5);
    static constexpr Clock::duration kRecheckInterval = std::chrono::milliseconds(100);
    static constexpr Clock::duration kOwnedPortRecheck = std::chrono::milliseconds(10);
    static constexpr Clock::duration kLongestRecheck = std::chrono::seconds(5);
    /// How long a flow outlives its closed socket: its last segments are still on the way.
    static constexpr Clock::duration kCloseGrace = std::chrono::seconds(2);

    explicit FlowTable(std::size_t capacity = kDefaultCapacity,
                       Clock::duration idleLimit = kDefaultIdleLimit)
        : capacity_(capacity), idleLimit_(idleLimit) {}

    /// The owner remembered for the flow, else for the same ends with any local address, else
    /// for a socket bound to its local end (those two learnt from kernel events); a hit counts
    /// as traffic on the flow.
    std::optional<Owner> Find(const Flow& flow, Clock::time_point now);
    /// Remembers the flow's owner (kNoOwner included, provisionally, so that traffic nobody
    /// owns is not looked up for every packet).
    void Remember(const Flow& flow, int pid, Source source, Clock::time_point now);
    /// A new connection reuses the pair: what the tables said of it is stale. What a kernel
    /// event said stays, for the event of the new connection comes before its SYN.
    void Forget(const Flow& flow);
    /// The flow's socket closed: the entry ends after kCloseGrace.
    void Close(const Flow& flow, Clock::time_point now);

    std::size_t size() const { return entries_.size(); }

private:
    /// Both addresses as on the wire (an IPv4 address in the first four bytes, the rest 0), the
    /// ports, the protocol and the family: an IPv6 flow never meets an IPv4 flow of the same
    /// ports.
    struct Key {
        std::array<std::uint64_t, 4> addresses;  // local, then remote
        std::uint64_t portsAndFamily;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            // std::hash of an integer is the integer itself; mix, so that ports and addresses
            // that differ in a few bits still spread over the buckets.
            std::uint64_t mixed = key.addresses[0] ^ (key.portsAndFamily * 0x9E3779B97F4A7C15ULL) ^
                                  (key.addresses[1] * 0xC2B2AE3D27D4EB4FULL) ^
                                  (key.addresses[2] * 0x165667B19E3779F9ULL) ^
                                  (key.addresses[3] * 0xD6E8FEB86659FD93ULL);
            mixed ^= mixed >> 33;
            mixed *= 0xFF51AFD7ED558CCDULL;
            mixed ^= mixed >> 33;
            return static_cast<std::size_t>(mixed);
        }
    };
    /// A flow's place in the order of use, with its last traffic.
    struct Use {
        Key key;
        Clock::time_point lastSeen;
    };
    struct Entry {
        int pid;
        Source source;
        Clock::time_point decided;  // when the owner was found
        Clock::duration recheckAfter;
        std::optional<Clock::time_point> closedAt;
        std::list<Use>::iterator recency;  // position in recency_, most recent at the front
    };

    static Key MakeKey(const Flow& flow);
    static Clock::duration FirstRecheck(int pid, Source source);
    static Clock::duration NextRecheck(int pid, Source source, Clock::duration last);
    std::optional<Owner> Hit(const Key& key, Clock::time_point now);
    void Erase(std::unordered_map<Key, Entry, KeyHash>::iterator entry);
    void DropExpired(Clock::time_point now);

    std::size_t capacity_;
    Clock::duration idleLimit_;
    std::unordered_map<Key, Entry, KeyHash> entries_;
    std::list<Use> recency_;
    Clock::time_point lastExpiry_{};
};

}  // namespace ravelin
