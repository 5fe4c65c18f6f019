// What the kernel socket-event programs cost the traffic they watch: the same loops timed with
// the programs detached and attached, in alternating rounds, with a thread draining the events
// every 10 ms as the program would. Prints the median time per operation of each and the ratio.
// Times are the thread's CPU time, so that other processes on a busy machine count less.
//
//   udp sendto, one socket   a busy UDP sender: the cgroup sendmsg4 hook, a lookup per datagram
//   udp socket+sendto+close  an event for every datagram: the worst case of the UDP hooks
//   tcp connect+accept       the sockops, sys_exit and state-change hooks, two events each way
//   getppid                  any syscall of any process: the raw sys_exit tracepoint's share
//
// Needs the privileges of loading (root, or CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "attribution/linux/KernelSocketEvents.h"
#include "base/UniqueFd.h"

namespace {

using ravelin::KernelSocketEvents;
using ravelin::SocketEvent;
using ravelin::UniqueFd;

constexpr int kRounds = 15;

[[noreturn]] void Fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

UniqueFd BoundSocket(int type) {
    UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(0);
    if (!fd.valid() ||
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        Fail("bind");
    }
    return fd;
}

sockaddr_in AddressOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) Fail("getsockname");
    return address;
}

double ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// CPU nanoseconds per call of `operation`, run `count` times.
double TimePerCall(const std::function<void()>& operation, int count) {
    const double start = ThreadCpuNs();
    for (int i = 0; i < count; ++i) operation();
    return (ThreadCpuNs() - start) / count;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Attached while alive, with a thread that drains the events every 10 ms.
class AttachedEvents {
public:
    explicit AttachedEvents(std::unique_ptr<KernelSocketEvents> events)
        : events_(std::move(events)), drainer_([this] { DrainUntilStopped(); }) {}
    ~AttachedEvents() {
        stop_ = true;
        drainer_.join();
    }
    AttachedEvents(const AttachedEvents&) = delete;
    AttachedEvents& operator=(const AttachedEvents&) = delete;

    std::size_t drained() const { return drained_; }
    std::uint64_t dropped() const { return events_->droppedEvents(); }

private:
    void DrainUntilStopped() {
        std::vector<SocketEvent> batch;
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            batch.clear();
            events_->Drain(batch);
            drained_ += batch.size();
        }
    }

    std::unique_ptr<KernelSocketEvents> events_;
    std::atomic<bool> stop_ = false;
    std::atomic<std::size_t> drained_ = 0;
    std::thread drainer_;
};

struct Case {
    const char* name;
    int count;  // calls per round
    std::function<void()> operation;
};

}  // namespace

int main() {
    // A receiver nobody reads: datagrams beyond its buffer are dropped after the send succeeded.
    const UniqueFd receiver = BoundSocket(SOCK_DGRAM);
    const sockaddr_in to = AddressOf(receiver.get());
    UniqueFd sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const UniqueFd listener = BoundSocket(SOCK_STREAM);
    if (listen(listener.get(), 64) != 0) Fail("listen");
    const sockaddr_in server = AddressOf(listener.get());
    const char payload[64] = {};

    const std::vector<Case> cases = {
        {"udp sendto, one socket", 50000,
         [&] {
             sendto(sender.get(), payload, sizeof(payload), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof(to));
         }},
        {"udp socket+sendto+close", 10000,
         [&] {
             UniqueFd once(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
             sendto(once.get(), payload, sizeof(payload), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof(to));
         }},
        {"tcp connect+accept+close", 2000,
         [&] {
             UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
             if (connect(client.get(), reinterpret_cast<const sockaddr*>(&server),
                         sizeof(server)) != 0) {
                 Fail("connect");
             }
             UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
             // A reset rather than TIME_WAIT, so that ports do not run out between rounds.
             const linger abort{1, 0};
             setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
         }},
        {"getppid", 500000, [] { getppid(); }},
    };

    std::vector<std::vector<double>> detached(cases.size()), attached(cases.size());
    std::size_t drained = 0;
    std::uint64_t dropped = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            detached[i].push_back(TimePerCall(cases[i].operation, cases[i].count));
        }
        KernelSocketEvents::Loaded loaded = KernelSocketEvents::Load();
        if (!loaded.events) {
            (void)std::fprintf(stderr, "attribution: socket tables (%s)\n", loaded.reason.c_str());
            return 1;
        }
        AttachedEvents events(std::move(loaded.events));
        for (std::size_t i = 0; i < cases.size(); ++i) {
            attached[i].push_back(TimePerCall(cases[i].operation, cases[i].count));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a last drain
        drained += events.drained();
        dropped += events.dropped();
    }

    std::printf("%-26s %12s %12s %8s %10s\n", "median of 15 rounds, ns", "detached", "attached",
                "ratio", "added ns");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const double before = Median(detached[i]);
        const double after = Median(attached[i]);
        std::printf("%-26s %12.0f %12.0f %8.3f %10.0f\n", cases[i].name, before, after,
                    after / before, after - before);
    }
    std::printf("events drained: %zu, dropped by the kernel: %llu\n", drained,
                static_cast<unsigned long long>(dropped));
    return 0;
}
