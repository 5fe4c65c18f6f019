#include "attribution/FlowTable.h"

#include <gtest/gtest.h>

#include "support/DatagramBuilder.h"

namespace ravelin {
namespace {

using test::Ipv4;
using namespace std::chrono_literals;
using Source = FlowTable::Source;

Flow Tcp(std::uint16_t localPort, std::uint16_t remotePort = 80) {
    return {true,
            SocketEndpoints::Ipv4(Ipv4("127.0.0.1"), localPort, Ipv4("127.0.0.1"), remotePort)};
}

std::optional<int> PidOf(FlowTable& flows, const Flow& flow, FlowTable::Clock::time_point now) {
    const auto owner = flows.Find(flow, now);
    return owner ? std::optional<int>(owner->pid) : std::nullopt;
}

TEST(FlowTableTest, BoundedLeastRecentlyUsedFirstAndIdleFlowsEnd) {
    FlowTable flows(3, 5min);
    FlowTable::Clock::time_point now{1h};
    flows.Remember(Tcp(1), 11, Source::kConnection, now);
    flows.Remember(Tcp(2), 12, Source::kConnection, now);
    flows.Remember(Tcp(3), 13, Source::kConnection, now);
    EXPECT_EQ(PidOf(flows, Tcp(1), now), 11);              // now the most recently used
    flows.Remember(Tcp(4), 14, Source::kConnection, now);  // evicts 2
    EXPECT_EQ(flows.size(), 3U);
    EXPECT_EQ(PidOf(flows, Tcp(2), now), std::nullopt);
    EXPECT_EQ(PidOf(flows, Tcp(3), now), 13);

    // Traffic keeps a flow alive; five quiet minutes end it.
    now += 4min;
    EXPECT_EQ(PidOf(flows, Tcp(1), now), 11);
    now += 2min;
    EXPECT_EQ(PidOf(flows, Tcp(1), now), 11);
    EXPECT_EQ(PidOf(flows, Tcp(4), now), std::nullopt);
    // The ends are in order and the protocol counts: the reverse direction and the same ends
    // over UDP are other flows.
    EXPECT_EQ(PidOf(flows, Tcp(80, 1), now), std::nullopt);
    Flow udp = Tcp(1);
    udp.tcp = false;
    EXPECT_EQ(PidOf(flows, udp, now), std::nullopt);
}

TEST(FlowTableTest, ProvisionalOwnersGoStaleAndSynsForgetAllButKernelEvents) {
    FlowTable flows;
    FlowTable::Clock::time_point now{1h};
    flows.Remember(Tcp(1), -1, Source::kDerived, now);
    flows.Remember(Tcp(2), 12, Source::kConnection, now);
    flows.Remember(Tcp(3), 13, Source::kKernelEvent, now);
    flows.Remember(Tcp(4), 14, Source::kListener, now);
    const Flow udp{false, Tcp(5).ends};
    flows.Remember(udp, 15, Source::kDerived, now);
    EXPECT_FALSE(flows.Find(Tcp(1), now)->stale);
    // A listener's owner is asked again at once: the connection may have been handed on.
    EXPECT_TRUE(flows.Find(Tcp(4), now)->stale);
    flows.Remember(Tcp(4), 14, Source::kListener, now);
    now += FlowTable::kRecheckInterval;
    EXPECT_TRUE(flows.Find(Tcp(1), now)->stale);
    EXPECT_TRUE(flows.Find(Tcp(4), now)->stale);
    EXPECT_FALSE(flows.Find(Tcp(2), now)->stale);
    // The same answer again: the next look at nobody waits twice as long, while a port's owner
    // is looked at as often as ever, for the port may change hands.
    flows.Remember(Tcp(1), -1, Source::kDerived, now);
    EXPECT_FALSE(flows.Find(Tcp(1), now + FlowTable::kRecheckInterval)->stale);
    EXPECT_TRUE(flows.Find(Tcp(1), now + 2 * FlowTable::kRecheckInterval)->stale);
    for (int look = 0; look < 3; ++look) {
        flows.Remember(udp, 15, Source::kDerived, now);
        EXPECT_TRUE(flows.Find(udp, now + FlowTable::kOwnedPortRecheck)->stale);
    }

    // A SYN on the pair: the kernel's word on the new connection came before it.
    for (int port : {1, 2, 3, 4}) flows.Forget(Tcp(static_cast<std::uint16_t>(port)));
    EXPECT_EQ(PidOf(flows, Tcp(1), now), std::nullopt);
    EXPECT_EQ(PidOf(flows, Tcp(2), now), std::nullopt);
    EXPECT_EQ(PidOf(flows, Tcp(4), now), std::nullopt);
    EXPECT_EQ(PidOf(flows, Tcp(3), now), 13);
}

TEST(FlowTableTest, ClosedFlowsLastTheGraceAndBoundSocketsOwnTheirEnd) {
    FlowTable flows;
    FlowTable::Clock::time_point now{1h};
    flows.Remember(Tcp(1), 11, Source::kKernelEvent, now);
    flows.Close(Tcp(1), now);
    EXPECT_EQ(PidOf(flows, Tcp(1), now + FlowTable::kCloseGrace - 1ms), 11);
    EXPECT_EQ(PidOf(flows, Tcp(1), now + FlowTable::kCloseGrace), std::nullopt);

    // A UDP socket bound to a port (any address) owns every flow on it; an exact flow wins.
    const Flow bound{false, SocketEndpoints::Ipv4(0, 5353, 0, 0)};
    flows.Remember(bound, 40, Source::kKernelEvent, now);
    const Flow query{false, SocketEndpoints::Ipv4(Ipv4("127.0.0.1"), 5353, Ipv4("127.0.0.7"), 9)};
    EXPECT_EQ(PidOf(flows, query, now), 40);
    flows.Remember(query, 41, Source::kKernelEvent, now);
    EXPECT_EQ(PidOf(flows, query, now), 41);
    EXPECT_EQ(PidOf(flows, {false, SocketEndpoints::Ipv4(Ipv4("127.0.0.1"), 5354, 0, 0)}, now),
              std::nullopt);
    // An unbound sender's socket has no local address of its own.
    flows.Remember({false, SocketEndpoints::Ipv4(0, 40000, Ipv4("127.0.0.9"), 53)}, 42,
                   Source::kKernelEvent, now);
    EXPECT_EQ(
        PidOf(flows,
              {false, SocketEndpoints::Ipv4(Ipv4("127.0.0.1"), 40000, Ipv4("127.0.0.9"), 53)}, now),
        42);

    // The any-address is the flow's family's: [::]:5353 owns IPv6 flows to the port only.
    const IpAddress any6 = *IpAddress::Parse("::");
    const IpAddress loopback6 = *IpAddress::Parse("::1");
    flows.Remember({false, {any6, 5353, any6, 0}}, 43, Source::kKernelEvent, now);
    EXPECT_EQ(PidOf(flows, {false, {loopback6, 5353, loopback6, 9}}, now), 43);
    EXPECT_EQ(PidOf(flows, query, now), 41);
    EXPECT_EQ(PidOf(flows, {false, SocketEndpoints::Ipv4(Ipv4("127.0.0.2"), 5353, 0, 9)}, now), 40);
}

}  // namespace
}  // namespace ravelin
