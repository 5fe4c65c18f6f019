// Cost of finding the process that owns a packet's local port, per packet, against the real
// kernel tables (sock_diag) and /proc, with 50 and with 1000 loopback sockets open. Attribution
// runs once for every captured TCP and UDP packet, so this bounds the packet rate it sustains.
// A packet of a known flow is answered from the flow table; a SYN, and every packet of the
// *_new_flows cases, asks the kernel (the UDP and listener tables are reused for a few ms).
//
// Google Benchmark reports the mean; each call is also timed by itself so that the median and
// the 99th percentile show as counters (p50_us, p99_us), because one slow table read per hundred
// packets matters more than the mean suggests.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "attribution/PortOwnerLookup.h"
#include "attribution/linux/NetlinkSocketTable.h"
#include "attribution/linux/ProcFsProcessSource.h"

namespace {

using ravelin::SocketEndpoints;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

[[noreturn]] void Fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) Fail("getsockname");
    return ntohs(address.sin_port);
}

int BoundSocket(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) Fail("bind");
    return fd;
}

/// `total` sockets on 127.0.0.1 held by this process: a tenth listeners, a tenth UDP, the rest
/// both ends of TCP connections. Closed with a reset, so that no TIME_WAIT entries pile up in
/// the kernel's tables from one benchmark to the next.
class LoopbackSockets {
public:
    explicit LoopbackSockets(int total) {
        const int listeners = std::max(1, total / 10);
        const int udp = std::max(1, total / 10);
        const int pairs = (total - listeners - udp) / 2;
        for (int i = 0; i < listeners; ++i) {
            const int fd = BoundSocket(SOCK_STREAM);
            if (listen(fd, 128) != 0) Fail("listen");
            fds_.push_back(fd);
            listenerPorts_.push_back(LocalPort(fd));
        }
        for (int i = 0; i < udp; ++i) {
            fds_.push_back(BoundSocket(SOCK_DGRAM));
            udpPorts_.push_back(LocalPort(fds_.back()));
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = kLoopback;
        for (int i = 0; i < pairs; ++i) {
            server.sin_port = htons(listenerPorts_[i % listeners]);
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (client < 0) Fail("socket");
            if (connect(client, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) {
                Fail("connect");
            }
            const int accepted = accept4(fds_[i % listeners], nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted < 0) Fail("accept");
            const linger reset{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            fds_.push_back(client);
            fds_.push_back(accepted);
            connections_.push_back(SocketEndpoints::Ipv4(kLoopback, LocalPort(client), kLoopback,
                                                         ntohs(server.sin_port)));
        }
    }
    ~LoopbackSockets() {
        for (const int fd : fds_) close(fd);
    }
    LoopbackSockets(const LoopbackSockets&) = delete;
    LoopbackSockets& operator=(const LoopbackSockets&) = delete;

    std::size_t size() const { return fds_.size(); }
    const std::vector<SocketEndpoints>& connections() const { return connections_; }
    const std::vector<std::uint16_t>& listenerPorts() const { return listenerPorts_; }
    const std::vector<std::uint16_t>& udpPorts() const { return udpPorts_; }

private:
    std::vector<int> fds_;
    std::vector<std::uint16_t> listenerPorts_;
    std::vector<std::uint16_t> udpPorts_;
    std::vector<SocketEndpoints> connections_;
};

enum class Kind { kEstablished, kToListener, kUdp };

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

double Percentile(std::vector<double>& values, double fraction) {
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

void BM_FindPortOwner(benchmark::State& state, Kind kind, bool newFlows) {
    RaiseDescriptorLimit();
    LoopbackSockets sockets(static_cast<int>(state.range(0)));
    ravelin::NetlinkSocketTable table;
    if (!table.Open().succeeded()) {
        state.SkipWithError(("sock_diag: " + table.lastError().reason).c_str());
        return;
    }
    ravelin::ProcFsProcessSource processes;
    ravelin::PortOwnerLookup lookup(table, processes);

    // Packets as this host sends them: the local end is the source.
    SocketEndpoints ends;
    bool isTcp = true;
    ravelin::PortOwnerLookup::Segment segment = ravelin::PortOwnerLookup::Segment::kOther;
    switch (kind) {
        case Kind::kEstablished:
            ends = sockets.connections()[sockets.connections().size() / 2];
            break;
        case Kind::kToListener:
            // A SYN to a listener from a port with no connection: the exact lookup misses (as
            // IPv4, then as IPv6) and the listeners are read.
            ends = SocketEndpoints::Ipv4(kLoopback, sockets.listenerPorts().back(), kLoopback, 9);
            segment = ravelin::PortOwnerLookup::Segment::kOpening;
            break;
        case Kind::kUdp:
            ends = SocketEndpoints::Ipv4(kLoopback, sockets.udpPorts().back(), kLoopback, 9);
            isTcp = false;
            break;
    }
    const int self = static_cast<int>(getpid());
    // The first call fills the inode map, as the first packet of a flow does in a capture.
    if (lookup.FindPortOwner(isTcp, ends, segment) != self) {
        state.SkipWithError("the owner found is not this process");
        return;
    }

    std::vector<double> micros;
    micros.reserve(1 << 16);
    int wrong = 0;
    std::uint32_t flowNumber = 0;
    for (auto _ : state) {
        // A new flow each time: another remote port.
        if (newFlows) {
            ++flowNumber;
            ends.remotePort = static_cast<std::uint16_t>(flowNumber & 0xFFFF);
            ends.remoteAddress = ravelin::IpAddress(htonl(0x7F000000U | (flowNumber >> 16)));
        }
        const auto start = std::chrono::steady_clock::now();
        const int owner = lookup.FindPortOwner(isTcp, ends, segment);
        const auto stop = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        wrong += owner != self;
    }
    if (wrong != 0) state.SkipWithError("a lookup named another owner");
    state.counters["sockets"] = static_cast<double>(sockets.size());
    state.counters["p50_us"] = Percentile(micros, 0.50);
    state.counters["p99_us"] = Percentile(micros, 0.99);
}

// A packet of a flow already known, without the per-call clock readings of the cases above:
// the cost that every packet of a busy flow pays.
void BM_KnownFlow(benchmark::State& state) {
    LoopbackSockets sockets(50);
    ravelin::NetlinkSocketTable table;
    if (!table.Open().succeeded()) {
        state.SkipWithError(("sock_diag: " + table.lastError().reason).c_str());
        return;
    }
    ravelin::ProcFsProcessSource processes;
    ravelin::PortOwnerLookup lookup(table, processes);
    const SocketEndpoints ends =
        SocketEndpoints::Ipv4(kLoopback, sockets.udpPorts().back(), kLoopback, 9);
    const int self = static_cast<int>(getpid());
    int wrong = lookup.FindPortOwner(false, ends) != self;
    for (auto _ : state) wrong += lookup.FindPortOwner(false, ends) != self;
    if (wrong != 0) state.SkipWithError("a lookup named another owner");
}

}  // namespace

BENCHMARK(BM_KnownFlow)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_FindPortOwner, tcp_established, Kind::kEstablished, false)
    ->Arg(50)
    ->Arg(1000)
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_FindPortOwner, udp, Kind::kUdp, false)
    ->Arg(50)
    ->Arg(1000)
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_FindPortOwner, tcp_syn_to_listener, Kind::kToListener, false)
    ->Arg(50)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FindPortOwner, udp_new_flows, Kind::kUdp, true)
    ->Arg(50)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
