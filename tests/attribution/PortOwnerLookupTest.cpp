#include "attribution/PortOwnerLookup.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "attribution/ProcessFilter.h"
#include "support/DatagramBuilder.h"

namespace ravelin {
namespace {

using test::Ipv4;
using namespace std::chrono_literals;

SocketEndpoints Ends(const char* local, std::uint16_t localPort, const char* remote,
                     std::uint16_t remotePort) {
    return {*IpAddress::Parse(local), localPort, *IpAddress::Parse(remote), remotePort};
}

// The kernel's tables as a test sets them.
class TableOfSockets : public SocketTable {
public:
    std::optional<std::uint64_t> FindTcpConnection(const SocketEndpoints& ends) override {
        ++connectionLookups;
        for (const auto& row : connections) {
            if (row.endpoints == ends) return row.inode;
        }
        return std::nullopt;
    }
    bool ListTcpSockets(std::vector<SocketRow>& rows) override {
        rows = listeners;
        rows.insert(rows.end(), connections.begin(), connections.end());
        return true;
    }
    bool ListTcpListeners(std::vector<SocketRow>& rows) override {
        rows = listeners;
        return readable;
    }
    bool ListUdpSockets(std::vector<SocketRow>& rows) override {
        ++udpReads;
        rows = udp;
        return readable;
    }

    std::vector<SocketRow> connections, listeners, udp;
    bool readable = true;
    int connectionLookups = 0;
    int udpReads = 0;
};

// Socket inodes held by processes, as a test sets them.
class InodeHolders : public ProcessSource {
public:
    std::optional<std::vector<int>> ProcessIds() override {
        std::vector<int> ids;
        for (const auto& [inode, pid] : holders) ids.push_back(pid);
        return ids;
    }
    std::vector<ProcessInfo> Snapshot() override { return {}; }
    std::optional<std::string> ImagePath(int pid) override {
        return "/usr/bin/program" + std::to_string(pid);
    }
    bool IsSystemProcess(int) override { return false; }
    void SocketInodeOwners(std::unordered_map<std::uint64_t, int>& owners) override {
        ++walks;
        for (const auto& [inode, pid] : holders) owners.emplace(inode, pid);
    }
    std::vector<std::uint64_t> SocketInodesOf(int pid) override {
        ++searchesOfOneProcess;
        std::vector<std::uint64_t> inodes;
        for (const auto& [inode, holder] : holders) {
            if (holder == pid) inodes.push_back(inode);
        }
        return inodes;
    }

    std::optional<bool> HasHadChildren(int pid) override { return parents.contains(pid); }

    std::map<std::uint64_t, int> holders;
    std::set<int> parents;  // processes with children
    int walks = 0;
    int searchesOfOneProcess = 0;
};

class PortOwnerLookupTest : public ::testing::Test {
protected:
    PortOwnerLookup Lookup() {
        return PortOwnerLookup(table_, holders_, [this] { return now_; });
    }

    TableOfSockets table_;
    InodeHolders holders_;
    PortOwnerLookup::Clock::time_point now_{std::chrono::hours(1)};
};

TEST_F(PortOwnerLookupTest, ConnectionFirstThenListenersThenRememberedOwner) {
    // A server (pid 100) listens on 8080; a child (pid 101) handles an accepted connection.
    table_.listeners = {{Ends("0.0.0.0", 8080, "0.0.0.0", 0), 10}};
    const SocketEndpoints accepted = Ends("127.0.0.1", 8080, "127.0.0.1", 50000);
    table_.connections = {{accepted, 11}};
    holders_.holders = {{10, 100}, {11, 101}};
    PortOwnerLookup lookup = Lookup();

    EXPECT_EQ(lookup.FindPortOwner(true, accepted), 101);
    // A SYN to the listener, before any connection exists, belongs to the listener's owner.
    EXPECT_EQ(lookup.FindPortOwner(true, Ends("127.0.0.1", 8080, "127.0.0.1", 50001),
                                   PortOwnerLookup::Segment::kOpening),
              100);

    // The child closes: its socket leaves the tables, and its connection's last packets are
    // still its own.
    table_.connections.clear();
    now_ += 1s;
    EXPECT_EQ(lookup.FindPortOwner(true, accepted), 101);

    // A client's connection on a port nobody listens on is remembered after close.
    // The client is a process that started after the last look.
    const SocketEndpoints client = Ends("127.0.0.1", 41000, "127.0.0.1", 8080);
    table_.connections = {{client, 12}};
    holders_.holders.emplace(12, 200);
    EXPECT_EQ(lookup.FindPortOwner(true, client), 200);
    table_.connections = {{client, 0}};  // TIME_WAIT: no inode
    EXPECT_EQ(lookup.FindPortOwner(true, client), 200);
    // A SYN that reuses the pair starts afresh.
    EXPECT_EQ(lookup.FindPortOwner(true, client, PortOwnerLookup::Segment::kOpening), -1);
    EXPECT_EQ(lookup.FindPortOwner(true, client), -1);

    // A free port has no owner.
    EXPECT_EQ(lookup.FindPortOwner(true, Ends("127.0.0.1", 9, "127.0.0.1", 9)), -1);
}

TEST_F(PortOwnerLookupTest, ASocketThatChangesHandsIsNotLeftWithItsFormerOwner) {
    using Segment = PortOwnerLookup::Segment;
    // A forking server (pid 100) accepts each connection and forks a child to serve it.
    table_.listeners = {{Ends("0.0.0.0", 8080, "0.0.0.0", 0), 10}};
    holders_.holders = {{10, 100}};
    holders_.parents = {100};
    PortOwnerLookup lookup = Lookup();
    // The first connection is seen held by the server, before the fork; its data, by the
    // child that was handed it.
    const SocketEndpoints first = Ends("127.0.0.1", 8080, "127.0.0.1", 50000);
    table_.connections = {{first, 11}};
    holders_.holders.emplace(11, 100);
    EXPECT_EQ(lookup.FindPortOwner(true, first, Segment::kAccepting), 100);
    holders_.holders[11] = 101;
    EXPECT_EQ(lookup.FindPortOwner(true, first, Segment::kData), 101);
    EXPECT_EQ(lookup.FindPortOwner(true, first), 101);
    // The second one was served and closed before anything saw who held it: its handshake is
    // the listener's, the rest nobody's that can be told.
    const SocketEndpoints second = Ends("127.0.0.1", 8080, "127.0.0.1", 50001);
    EXPECT_EQ(lookup.FindPortOwner(true, second, Segment::kAccepting), 100);
    EXPECT_EQ(lookup.FindPortOwner(true, second, Segment::kData), -1);
    // The third one's child wrote and ended while the server still held its own copy.
    const SocketEndpoints third = Ends("127.0.0.1", 8080, "127.0.0.1", 50002);
    table_.connections = {{third, 13}};
    holders_.holders.emplace(13, 100);
    EXPECT_EQ(lookup.FindPortOwner(true, third, Segment::kData), -1);
    // A server without children serves its connections itself.
    holders_.parents.clear();
    const SocketEndpoints fourth = Ends("127.0.0.1", 8080, "127.0.0.1", 50003);
    EXPECT_EQ(lookup.FindPortOwner(true, fourth, Segment::kData), 100);

    // A UDP port that its owner (pid 200) gave up and another process (201) took.
    const SocketEndpoints sender = Ends("127.0.0.1", 7000, "127.0.0.1", 53);
    table_.udp = {{Ends("127.0.0.1", 7000, "0.0.0.0", 0), 20}};
    holders_.holders.emplace(20, 200);
    EXPECT_EQ(lookup.FindPortOwner(false, sender), 200);
    table_.udp = {{Ends("127.0.0.1", 7000, "0.0.0.0", 0), 21}};
    holders_.holders.emplace(21, 201);
    now_ += FlowTable::kOwnedPortRecheck;
    EXPECT_EQ(lookup.FindPortOwner(false, sender), 201);
    // Then that one ended too: a later datagram's sender is not known, and it was not 201's
    // unless 201 was still there to be seen holding the port.
    table_.udp.clear();
    EXPECT_EQ(lookup.FindPortOwner(false, sender), 201);
    now_ += FlowTable::kOwnedPortRecheck;
    EXPECT_EQ(lookup.FindPortOwner(false, sender), -1);
}

TEST_F(PortOwnerLookupTest, FirstRowInSortedOrderWinsAndOnlyThePortCounts) {
    table_.udp = {{Ends("127.0.0.5", 53, "0.0.0.0", 0), 31},
                  {Ends("10.0.0.1", 53, "0.0.0.0", 0), 32},
                  {Ends("127.0.0.1", 5353, "0.0.0.0", 0), 33},
                  {Ends("10.0.0.1", 53, "0.0.0.0", 0), 34}};
    holders_.holders = {{31, 1}, {32, 2}, {33, 3}, {34, 4}};
    PortOwnerLookup lookup = Lookup();
    // 10.0.0.1 sorts before 127.0.0.5, whatever address the packet came to.
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.5", 53, "127.0.0.1", 999)), 2);
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 1)), 3);
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 54, "127.0.0.1", 1)), -1);
    // Tables are read once for many flows, and again once they are no longer fresh.
    EXPECT_EQ(table_.udpReads, 1);
    table_.readable = false;
    now_ += PortOwnerLookup::kTableFreshness;
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 2)), -1);
}

TEST_F(PortOwnerLookupTest, ABatchReadsTheClockOnceAndItsLookupsShareThatTime) {
    table_.udp = {{Ends("127.0.0.1", 5353, "0.0.0.0", 0), 33}};
    holders_.holders = {{33, 3}};
    int clockReads = 0;
    PortOwnerLookup lookup(table_, holders_, [&] {
        ++clockReads;
        return now_;
    });
    lookup.BeginBatch();
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 1)), 3);
    // The clock moves on past the table's freshness while the batch is listed: the batch's
    // packets still share its time, so the table is not read again within it.
    now_ += PortOwnerLookup::kTableFreshness;
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 2)), 3);
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 3)), 3);
    EXPECT_EQ(clockReads, 1);
    EXPECT_EQ(table_.udpReads, 1);

    // The next batch takes the clock's time again, and finds the table old.
    lookup.BeginBatch();
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 4)), 3);
    EXPECT_EQ(clockReads, 2);
    EXPECT_EQ(table_.udpReads, 2);

    // Outside a batch every lookup reads the clock.
    lookup.EndBatch();
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 5)), 3);
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 5353, "127.0.0.1", 6)), 3);
    EXPECT_EQ(clockReads, 4);
}

TEST_F(PortOwnerLookupTest, DescriptorsAreWalkedOnlyForUnknownInodesAndNotTooOften) {
    table_.udp = {{Ends("0.0.0.0", 7000, "0.0.0.0", 0), 50}};
    holders_.holders = {{50, 500}};
    PortOwnerLookup lookup = Lookup();
    const SocketEndpoints ends = Ends("127.0.0.1", 7000, "127.0.0.1", 1);
    // The process is searched once, by itself; the map answers from then on.
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(lookup.FindPortOwner(false, ends), 500);
    EXPECT_EQ(holders_.walks, 0);
    EXPECT_EQ(holders_.searchesOfOneProcess, 1);

    // A process that started since: its sockets are found without walking everything, once
    // the flow's provisional owner is due to be looked up again.
    table_.udp = {{Ends("0.0.0.0", 7000, "0.0.0.0", 0), 60}};
    holders_.holders.emplace(60, 600);
    EXPECT_EQ(lookup.FindPortOwner(false, ends), 500);
    now_ += FlowTable::kRecheckInterval;
    EXPECT_EQ(lookup.FindPortOwner(false, ends), 600);
    EXPECT_EQ(holders_.walks, 0);

    // A socket nobody is found to hold makes the whole walk happen: at most one per interval,
    // however many packets ask.
    table_.udp = {{Ends("0.0.0.0", 7000, "0.0.0.0", 0), 51}};
    now_ += FlowTable::kRecheckInterval;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(lookup.FindPortOwner(false, ends), -1);
    EXPECT_EQ(holders_.walks, 1);
    const int searches = holders_.searchesOfOneProcess;
    holders_.holders.emplace(51, 500);
    now_ += 100ms;
    EXPECT_EQ(lookup.FindPortOwner(false, ends), -1);  // a recent miss is not searched
    EXPECT_EQ(holders_.searchesOfOneProcess, searches);
    // Then it belongs to a process that owned a socket lately: found without another walk.
    now_ += 200ms;
    EXPECT_EQ(lookup.FindPortOwner(false, ends), 500);
    EXPECT_EQ(holders_.walks, 1);
}

// Kernel events as a test queues them.
class QueuedEvents : public SocketEventSource {
public:
    void Drain(std::vector<SocketEvent>& events) override {
        ++drains;
        events.insert(events.end(), queued.begin(), queued.end());
        queued.clear();
    }
    std::vector<SocketEvent> queued;
    int drains = 0;
};

TEST_F(PortOwnerLookupTest, KernelEventsNameOwnersBeforeTheTablesAndOutliveTheProcess) {
    QueuedEvents events;
    PortOwnerLookup lookup = Lookup();
    lookup.SetSocketEvents(&events);
    // A client that connected and exited before its first packet was looked up; the tables
    // know nothing of it.
    const SocketEndpoints client = Ends("127.0.0.1", 41000, "127.0.0.1", 8080);
    events.queued.push_back({SocketEvent::Kind::kOpened, true, client, 4242, "curl"});
    EXPECT_EQ(lookup.FindPortOwner(true, client, PortOwnerLookup::Segment::kOpening),
              4242);  // its SYN
    EXPECT_EQ(table_.connectionLookups, 0);
    EXPECT_EQ(lookup.ProcessName(4242), "curl");

    // Closed: its last segments still count for it, a little while.
    events.queued.push_back({SocketEvent::Kind::kClosed, true, client, 4242, "curl"});
    lookup.TakeSocketEvents();
    EXPECT_EQ(lookup.FindPortOwner(true, client), 4242);
    now_ += FlowTable::kCloseGrace;
    EXPECT_EQ(lookup.FindPortOwner(true, client), -1);

    // A UDP receiver's bind names the owner of every flow to its port.
    events.queued.push_back(
        {SocketEvent::Kind::kOpened, false, Ends("0.0.0.0", 53, "0.0.0.0", 0), 53, "resolver"});
    EXPECT_EQ(lookup.FindPortOwner(false, Ends("127.0.0.1", 53, "127.0.0.9", 999)), 53);
    EXPECT_EQ(table_.udpReads, 0);
}

// The selection as the filter sees it.
class FixedSelection : public ProcessSelection {
public:
    bool AllSelected() const override { return all; }
    std::optional<bool> IsProcessSelected(int pid) const override {
        const auto found = nodes.find(pid);
        if (found == nodes.end()) return std::nullopt;
        return found->second;
    }
    void Refresh() override {
        ++refreshes;
        nodes.insert(appearOnRefresh.begin(), appearOnRefresh.end());
    }
    bool RootSelected() const override { return root; }

    bool all = false;
    bool root = false;
    std::map<int, bool> nodes, appearOnRefresh;
    int refreshes = 0;
};

class ProcessFilterTest : public PortOwnerLookupTest {
protected:
    DecodedDatagram Packet(std::uint8_t protocol, std::uint16_t sourcePort,
                           std::uint16_t destinationPort) {
        test::DatagramBuilder builder;
        builder.protocol = protocol;
        builder.source = Ipv4("10.0.0.9");
        builder.destination = Ipv4("10.0.0.2");
        builder.sourcePort = sourcePort;
        builder.destinationPort = destinationPort;
        bytes_ = builder.Build();
        return *DecodeDatagram(bytes_);
    }
    // The same from fd00::9 to fd00::2; a TCP segment is a bare ACK.
    DecodedDatagram Packet6(std::uint8_t protocol, std::uint16_t sourcePort,
                            std::uint16_t destinationPort) {
        const std::size_t transportLength = protocol == 6 ? 20 : 8;
        bytes_.assign(40 + transportLength, 0);
        bytes_[0] = 0x60;
        bytes_[5] = static_cast<std::uint8_t>(transportLength);
        bytes_[6] = protocol;
        bytes_[7] = 64;
        const auto source = IpAddress::Parse("fd00::9")->bytes;
        const auto destination = IpAddress::Parse("fd00::2")->bytes;
        std::copy(source.begin(), source.end(), bytes_.begin() + 8);
        std::copy(destination.begin(), destination.end(), bytes_.begin() + 24);
        bytes_[40] = static_cast<std::uint8_t>(sourcePort >> 8);
        bytes_[41] = static_cast<std::uint8_t>(sourcePort);
        bytes_[42] = static_cast<std::uint8_t>(destinationPort >> 8);
        bytes_[43] = static_cast<std::uint8_t>(destinationPort);
        if (protocol == 6) {
            bytes_[52] = 0x50;  // data offset
            bytes_[53] = 0x10;  // ACK
        } else {
            bytes_[45] = 8;  // UDP length
        }
        return *DecodeDatagram(bytes_);
    }
    std::vector<std::uint8_t> bytes_;
};

TEST_F(ProcessFilterTest, EachFamilyFindsItsOwnSocketsOnTheSamePorts) {
    // Port 8080 has a server of each family (100 on IPv4, 200 on IPv6 only), and each has a
    // connection from port 50000; UDP port 53 is held over IPv6 only.
    table_.listeners = {{Ends("0.0.0.0", 8080, "0.0.0.0", 0), 10}, {Ends("::", 8080, "::", 0), 20}};
    table_.connections = {{Ends("10.0.0.2", 8080, "10.0.0.9", 50000), 11},
                          {Ends("fd00::2", 8080, "fd00::9", 50000), 21}};
    table_.udp = {{Ends("::", 53, "::", 0), 30}};
    holders_.holders = {{10, 100}, {11, 101}, {20, 200}, {21, 201}, {30, 300}};
    PortOwnerLookup lookup = Lookup();
    FixedSelection selection;
    selection.all = true;
    ProcessFilter filter(lookup, selection, holders_);
    filter.SetAlwaysAttribute(true);

    // Remembered flows of one family do not answer for the other's.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(filter.Keep(Packet6(6, 50000, 8080), 8080, false, {}).owner, 201);
        EXPECT_EQ(filter.Keep(Packet(6, 50000, 8080), 8080, false, {}).owner, 101);
        // No connection of these ends: the listener of the packet's family answers.
        EXPECT_EQ(filter.Keep(Packet6(6, 50001, 8080), 8080, false, {}).owner, 200);
        EXPECT_EQ(filter.Keep(Packet(6, 50001, 8080), 8080, false, {}).owner, 100);
        EXPECT_EQ(filter.Keep(Packet6(17, 999, 53), 53, false, {}).owner, 300);
        EXPECT_EQ(filter.Keep(Packet(17, 999, 53), 53, false, {}).owner, kNoOwner);
    }
}

TEST_F(ProcessFilterTest, OwnerNodeDecidesThenOneRefreshThenTheRoot) {
    table_.udp = {{Ends("0.0.0.0", 53, "0.0.0.0", 0), 1},
                  {Ends("0.0.0.0", 54, "0.0.0.0", 0), 2},
                  {Ends("0.0.0.0", 55, "0.0.0.0", 0), 3}};
    holders_.holders = {{1, 100}, {2, 200}, {3, 300}};
    PortOwnerLookup lookup = Lookup();
    FixedSelection selection;
    selection.nodes = {{100, true}};
    selection.appearOnRefresh = {{200, false}};
    ProcessFilter filter(lookup, selection, holders_);

    const FilterDecision selected = filter.Keep(Packet(17, 9999, 53), 53, false, {});
    EXPECT_TRUE(selected.keep);
    EXPECT_EQ(selected.owner, 100);
    EXPECT_EQ(selection.refreshes, 0);
    // Unknown to the tree: one refresh brings its (unchecked) node.
    EXPECT_FALSE(filter.Keep(Packet(17, 9999, 54), 54, false, {}).keep);
    EXPECT_EQ(selection.refreshes, 1);
    // Still unknown after the refresh, no owner at all, or no ports: the root decides.
    EXPECT_FALSE(filter.Keep(Packet(17, 9999, 55), 55, false, {}).keep);
    const FilterDecision ownerless = filter.Keep(Packet(17, 9999, 56), 56, false, {});
    EXPECT_FALSE(ownerless.keep);
    EXPECT_EQ(ownerless.owner, kNoOwner);
    EXPECT_FALSE(filter.Keep(Packet(1, 0, 0), 0, false, {}).keep);
    selection.root = true;
    EXPECT_TRUE(filter.Keep(Packet(17, 9999, 56), 56, false, {}).keep);
    EXPECT_TRUE(filter.Keep(Packet(1, 0, 0), 0, false, {}).keep);
    EXPECT_EQ(selection.refreshes, 2);
}

TEST_F(ProcessFilterTest, EverythingSelectedSkipsTheLookupUnlessAttributing) {
    PortOwnerLookup lookup = Lookup();
    FixedSelection selection;
    selection.all = true;
    ProcessFilter filter(lookup, selection, holders_);
    EXPECT_TRUE(filter.Keep(Packet(6, 80, 40000), 40000, false, {}).keep);
    EXPECT_EQ(table_.connectionLookups, 0);

    // The lookup sees the packet's ends from this host's side.
    table_.connections = {{Ends("10.0.0.2", 40000, "10.0.0.9", 80), 7}};
    holders_.holders = {{7, 70}};
    filter.SetAlwaysAttribute(true);
    const FilterDecision attributed = filter.Keep(Packet(6, 80, 40000), 40000, false, {});
    EXPECT_TRUE(attributed.keep);
    EXPECT_EQ(attributed.owner, 70);
    EXPECT_EQ(attributed.ownerName, "program70");  // for the saved capture's comment
    EXPECT_EQ(table_.connectionLookups, 1);

    // A saved capture's owner stands for the lookup, and the selection judges it.
    const FilterDecision recorded = filter.Keep(Packet(6, 80, 40000), 40000, false, {42, "curl"});
    EXPECT_EQ(recorded.owner, 42);
    EXPECT_EQ(recorded.ownerName, "curl");
    EXPECT_EQ(table_.connectionLookups, 1);
    selection.all = false;
    selection.nodes = {{42, false}};
    EXPECT_FALSE(filter.Keep(Packet(6, 80, 40000), 40000, false, {42, "curl"}).keep);
}

}  // namespace
}  // namespace ravelin
