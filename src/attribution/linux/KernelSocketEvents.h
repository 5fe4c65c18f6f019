#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "attribution/SocketEvents.h"

struct bpf_link;
struct ring_buffer;
struct socket_events;  // the skeleton generated from bpf/socket_events.bpf.c

namespace ravelin {

/// Socket events from eBPF programs that stay attached while this object lives:
///   - TCP connect, from inside connect() (sockops), with the local port already chosen;
///   - the first send or receive of a process on a connected socket (the sock_send_length and
///     sock_recv_length tracepoints): the accepted side of a TCP connection, whose handshake
///     ran on behalf of no process, and connected UDP sockets;
///   - UDP send and receive with an address, once per socket, process and peer, and explicit
///     TCP and UDP binds (cgroup programs of both families at the root of the cgroup v2
///     hierarchy);
///   - the close of every TCP connection reported above (inet_sock_set_state to TCP_CLOSE),
///     named after the process that last reported it.
/// IPv4 and IPv6 sockets; an IPv6 socket's IPv4-mapped ends are told as IPv4 ends, the ends of
/// the IPv4 packets it carries. An unbound UDP sender's local address is the any-address of its
/// family, as getsockname says. A socket's events come again when another
/// process uses it.
///
/// Everything is attached through bpf_link descriptors owned here and nothing is pinned, so the
/// kernel detaches and frees it all when the object goes or the process ends, killed or not.
class KernelSocketEvents final : public SocketEventSource {
    struct Token {  // only Load constructs; explicit, so that `{}` cannot stand in for it
        explicit Token() = default;
    };

public:
    /// The outcome of Load: the events, or why there are none.
    struct Loaded {
        std::unique_ptr<KernelSocketEvents> events;
        std::string reason;  ///< short, e.g. "kernel has no BTF"; empty with events
    };

    /// Loads and attaches every program, or leaves none attached. Needs CAP_BPF, CAP_PERFMON
    /// and CAP_NET_ADMIN (the cgroup programs), or root.
    static Loaded Load();

    explicit KernelSocketEvents(Token);
    ~KernelSocketEvents() override;
    KernelSocketEvents(const KernelSocketEvents&) = delete;
    KernelSocketEvents& operator=(const KernelSocketEvents&) = delete;

    void Drain(std::vector<SocketEvent>& events) override;
    /// Hands over each record as the kernel program wrote it, oldest first; never waits.
    using RecordVisitor = std::function<void(std::span<const std::uint8_t>)>;
    void DrainRecords(const RecordVisitor& visit);

    /// Records the kernel dropped because the ring buffer was full: events were lost.
    std::uint64_t droppedEvents() const;
    /// The kernel's ids of the programs and links held, to check that they go with us.
    std::vector<std::uint32_t> programIds() const;
    std::vector<std::uint32_t> linkIds() const;

private:
    struct SkeletonDeleter {
        void operator()(socket_events* skeleton) const;
    };
    struct LinkDeleter {
        void operator()(bpf_link* link) const;
    };
    struct RingBufferDeleter {
        void operator()(ring_buffer* buffer) const;
    };

    static int OnRecord(void* context, void* data, std::size_t size);

    // Destroyed bottom up: the reader, then the links, then the programs and maps.
    std::unique_ptr<socket_events, SkeletonDeleter> skeleton_;
    std::vector<std::unique_ptr<bpf_link, LinkDeleter>> links_;
    std::unique_ptr<ring_buffer, RingBufferDeleter> ringBuffer_;
    const RecordVisitor* visitor_ = nullptr;  // whom OnRecord tells, during DrainRecords
};

}  // namespace ravelin
