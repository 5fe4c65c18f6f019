#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "attribution/FlowTable.h"
#include "attribution/InodeOwners.h"
#include "attribution/ProcessSource.h"
#include "attribution/SocketEvents.h"
#include "attribution/SocketTable.h"

namespace ravelin {

/// Finds the process that owns the local end of a packet.
///
/// A flow's owner is found once and kept in a flow table for its later packets. Kernel socket
/// events, where they run, name the owner of each new socket as it is made, so they are taken
/// in first. Otherwise the first lookup of a flow asks the tables: for TCP, the packet's own
/// connection (a hash lookup in the kernel, where a dump of every connection would cost a
/// millisecond); where none exists, the listening sockets sorted by local address, local port,
/// remote address and remote port, the first with the local port winning. UDP: the same sorted
/// rule over the UDP table. Each family has its own ports: a packet finds sockets of its own
/// family. The sorted tables are kept for a few milliseconds rather than read per packet. Used
/// by one thread at a time.
class PortOwnerLookup {
public:
    using Clock = std::chrono::steady_clock;

    /// How long a sorted table is used before it is read again.
    static constexpr Clock::duration kTableFreshness = std::chrono::milliseconds(10);
    /// A port missing from a table older than this is looked for in a new read at once.
    static constexpr Clock::duration kMissRereadAge = std::chrono::milliseconds(1);

    PortOwnerLookup(SocketTable& sockets, ProcessSource& processes,
                    std::function<Clock::time_point()> now = Clock::now)
        : sockets_(sockets), processes_(processes), inodes_(processes), now_(std::move(now)) {}

    /// Kernel socket events to take in before every lookup; nullptr for none.
    void SetSocketEvents(SocketEventSource* events) { events_ = events; }

    /// What a TCP segment tells of who sent it.
    enum class Segment : std::uint8_t {
        kOther,      ///< sent by the kernel for the socket's holder (an ACK), or received
        kOpening,    ///< a SYN: a new connection on the pair
        kAccepting,  ///< this side's SYN-ACK: the listening socket answers
        kData,       ///< data that this side sent: a process wrote it
    };

    /// The owning process id, or -1 when nothing owns the port. `packetEnds` are the packet's
    /// ends seen from this host (local port = the port on this host's side).
    int FindPortOwner(bool isTcp, const SocketEndpoints& packetEnds,
                      Segment segment = Segment::kOther);
    /// Takes in the kernel's socket events that came since the last call: cheap when none did.
    void TakeSocketEvents();

    /// Until EndBatch, every lookup takes the time read here rather than reading the clock:
    /// one read per batch instead of one per packet, which at 100,000 packets a second was a
    /// tenth of the pipeline's time. The table and flow ages are counted in milliseconds and
    /// a batch is listed well within one. Called again, it reads the clock again.
    void BeginBatch() { batchTime_ = now_(); }
    void EndBatch() { batchTime_.reset(); }
    /// The batch's time while one is open, else the clock's.
    Clock::time_point Now() const { return batchTime_ ? *batchTime_ : now_(); }

    /// The name a kernel event gave the process, which may have ended since.
    std::optional<std::string> ProcessName(int pid) const;

    const InodeOwners& inodeOwners() const { return inodes_; }
    const FlowTable& flows() const { return flows_; }

private:
    /// A socket table sorted in the lookup order, with the first row of each local port.
    struct SortedTable {
        std::vector<SocketRow> rows;
        std::unordered_map<std::uint32_t, std::uint64_t> firstInodeOfPort;  // by PortOfFamily
        std::optional<Clock::time_point> readAt;
    };
    using ListFunction = bool (SocketTable::*)(std::vector<SocketRow>&);

    void TakeSocketEvents(Clock::time_point now);
    /// What the tables say of a flow: the owner (kNoOwner where unknown), where it came from,
    /// and whether any socket had the flow's local end at all.
    struct TableAnswer {
        int pid = -1;
        FlowTable::Source source = FlowTable::Source::kDerived;
        bool socketFound = false;
        bool ownSocketFound = false;  ///< the flow's own connection, not a listener
    };

    /// `afresh`: whoever holds the flow's socket now, whatever was found before.
    TableAnswer LookUpInTables(const Flow& flow, Segment segment, Clock::time_point now,
                               bool afresh);
    bool Read(SortedTable& table, ListFunction list, Clock::time_point now);
    /// The first socket of the table with the local port of `ends`, in their family.
    TableAnswer FirstOwnerOfPort(SortedTable& table, ListFunction list, const SocketEndpoints& ends,
                                 Clock::time_point now);
    /// The local port, told apart by family: an IPv6-only socket does not own an IPv4 port.
    static std::uint32_t PortOfFamily(const SocketEndpoints& ends) {
        return (ends.ipv6() ? 0x10000U : 0U) | ends.localPort;
    }

    SocketTable& sockets_;
    ProcessSource& processes_;
    InodeOwners inodes_;
    FlowTable flows_;
    SocketEventSource* events_ = nullptr;
    std::function<Clock::time_point()> now_;
    std::optional<Clock::time_point> batchTime_;
    SortedTable listeners_;
    SortedTable udp_;
    std::vector<SocketEvent> pendingEvents_;  // reused between calls
    std::unordered_map<int, std::string> eventNames_;
};

}  // namespace ravelin
