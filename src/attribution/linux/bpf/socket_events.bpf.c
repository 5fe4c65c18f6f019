/* Socket events for KernelSocketEvents: which process opened which TCP or UDP ends, IPv4 or
 * IPv6, told while the process still runs. An IPv6 socket's IPv4-mapped ends are told as IPv4,
 * for they are the ends of the IPv4 packets it carries. The programs only read: every hook lets the
 * operation go on unchanged. Records go to the ring buffer without a wakeup; user space drains it
 * on a timer. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "socket_event_record.h"

/* KernelSocketEvents asserts the same size. */
_Static_assert(sizeof(struct ravelin_socket_event) == 60, "record layout");

/* bpf_probe_read_kernel and bpf_get_current_task are GPL-only helpers. */
char LICENSE[] SEC("license") = "GPL";

/* Macros, so not in vmlinux.h. */
#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define TCP_CLOSE 7
#define TCP_LISTEN 10

/* Cgroup socket programs return 1 to let the call go on. */
#define ALLOW 1

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20);
} events SEC(".maps");

/* Records lost to a full ring buffer. */
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} dropped SEC(".maps");

/* Addresses as in the record: IPv4 in word 0, the rest 0. No padding: it is part of a key. */
struct ends {
    __u32 local_addr[4];
    __u32 remote_addr[4];
    __u16 local_port;
    __u16 remote_port;
    __u16 family;
    __u16 reserved;
};

struct owner {
    __u32 pid;
    char name[RAVELIN_NAME_BYTES];
};

/* What a socket last reported, kept with the socket and freed with it: the owner, whom its TCP
 * close names (the close often runs in softirq, on behalf of nobody in particular), and the
 * peer, so that a busy socket pays a lookup per packet and not a record. */
struct reported {
    struct owner owner;
    __u32 remote_addr[4];
    __u16 remote_port;
    __u16 family;
};

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct reported);
} reported SEC(".maps");

/* Every peer an unconnected UDP socket reported to, for a server answering many clients in
 * turn: the socket's own entry holds only the last one. Cookies are never reused, so an entry
 * cannot hide a new socket. */
struct udp_seen_key {
    __u64 cookie;
    __u32 pid;
    __u32 reserved; /* no padding in a key */
    struct ends ends;
};

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, struct udp_seen_key);
    __type(value, __u8);
} udp_seen SEC(".maps");

static __always_inline void count_drop(void) {
    __u32 zero = 0;
    __u64* count = bpf_map_lookup_elem(&dropped, &zero);
    if (count) *count += 1;
}

/* The current process: its thread group id and its leader's name, because the calling thread
 * may be a worker with a name of its own. Leaves the name's tail as it was: zeroed by callers,
 * so no stack bytes reach user space. */
static __always_inline void current_owner(struct owner* owner) {
    struct task_struct* task = (struct task_struct*)bpf_get_current_task();
    owner->pid = BPF_CORE_READ(task, tgid);
    BPF_CORE_READ_STR_INTO(&owner->name, task, group_leader, comm);
}

static __always_inline bool emit(__u8 kind, __u8 protocol, const struct ends* ends,
                                 const struct owner* owner) {
    struct ravelin_socket_event* event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
    if (!event) {
        count_drop();
        return false;
    }
    event->kind = kind;
    event->protocol = protocol;
    event->local_port = ends->local_port;
    event->remote_port = ends->remote_port;
    event->family = ends->family;
    __builtin_memcpy(event->local_addr, ends->local_addr, sizeof(event->local_addr));
    __builtin_memcpy(event->remote_addr, ends->remote_addr, sizeof(event->remote_addr));
    event->pid = owner->pid;
    __builtin_memcpy(event->name, owner->name, sizeof(event->name));
    bpf_ringbuf_submit(event, BPF_RB_NO_WAKEUP);
    return true;
}

/* Reports the current process's use of a socket unless the socket's last report was the same
 * process with the same peer; the socket's entry then remembers this report. */
static __always_inline bool seen_peer(const struct reported* seen, __u32 pid,
                                      const struct ends* ends) {
    return seen->owner.pid == pid && seen->family == ends->family &&
           seen->remote_port == ends->remote_port && seen->remote_addr[0] == ends->remote_addr[0] &&
           seen->remote_addr[1] == ends->remote_addr[1] &&
           seen->remote_addr[2] == ends->remote_addr[2] &&
           seen->remote_addr[3] == ends->remote_addr[3];
}

static __always_inline void remember_peer(struct reported* seen, __u32 pid,
                                          const struct ends* ends) {
    seen->owner.pid = pid;
    __builtin_memcpy(seen->remote_addr, ends->remote_addr, sizeof(seen->remote_addr));
    seen->remote_port = ends->remote_port;
    seen->family = ends->family;
}

static __always_inline bool report_unless_seen(struct reported* seen, __u8 protocol,
                                               const struct ends* ends) {
    __u32 pid = bpf_get_current_pid_tgid() >> 32;
    if (seen_peer(seen, pid, ends)) return false;
    struct owner owner = {};
    current_owner(&owner);
    if (!emit(RAVELIN_SOCKET_OPENED, protocol, ends, &owner)) return false;
    seen->owner = owner;
    remember_peer(seen, pid, ends);
    return true;
}

static __always_inline bool is_v4_mapped(__u32 w0, __u32 w1, __u32 w2) {
    return w0 == 0 && w1 == 0 && w2 == bpf_htonl(0x0000ffff);
}

/* The ends of a connected socket: an IPv4 socket, or an IPv6 one whose peer is an IPv4-mapped
 * address (whose IPv4 fields the kernel keeps up to date), as IPv4; any other IPv6 socket as
 * IPv6. The local port comes from inet_sport, which stays when a closing socket gives its bound
 * port back. */
static __always_inline bool socket_ends_of(const struct sock* sk, struct ends* ends) {
    __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family == AF_INET6) {
        BPF_CORE_READ_INTO(&ends->remote_addr, sk, __sk_common.skc_v6_daddr);
        if (!is_v4_mapped(ends->remote_addr[0], ends->remote_addr[1], ends->remote_addr[2])) {
            BPF_CORE_READ_INTO(&ends->local_addr, sk, __sk_common.skc_v6_rcv_saddr);
            ends->family = AF_INET6;
            ends->local_port = bpf_ntohs(BPF_CORE_READ((struct inet_sock*)sk, inet_sport));
            ends->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
            return true;
        }
    } else if (family != AF_INET) {
        return false;
    }
    __builtin_memset(ends, 0, sizeof(*ends));
    ends->family = AF_INET;
    ends->local_addr[0] = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
    ends->local_port = bpf_ntohs(BPF_CORE_READ((struct inet_sock*)sk, inet_sport));
    ends->remote_addr[0] = BPF_CORE_READ(sk, __sk_common.skc_daddr);
    ends->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
    return true;
}

/* TCP clients, from inside connect(): the local port is assigned and the SYN not yet sent.
 * Without callback flags the program runs only for a socket's few lifecycle callbacks. */
SEC("sockops")
int ravelin_tcp_connect(struct bpf_sock_ops* ops) {
    if (ops->op != BPF_SOCK_OPS_TCP_CONNECT_CB) return ALLOW;
    __u32 family = ops->family;
    if (family != AF_INET && family != AF_INET6) return ALLOW;
    /* Every field is read whatever the family, in straight code: the verifier takes context
     * fields only at fixed offsets, which a choice between two fields would make a computed
     * one. */
    struct ends ends = {
        .family = AF_INET,
        .local_port = ops->local_port,
        .remote_port = bpf_ntohl(ops->remote_port),
        .local_addr = {ops->local_ip6[0], ops->local_ip6[1], ops->local_ip6[2], ops->local_ip6[3]},
        .remote_addr = {ops->remote_ip6[0], ops->remote_ip6[1], ops->remote_ip6[2],
                        ops->remote_ip6[3]},
    };
    __u32 local4 = ops->local_ip4;
    __u32 remote4 = ops->remote_ip4;
    barrier_var(local4);
    barrier_var(remote4);
    if (family == AF_INET6 &&
        !is_v4_mapped(ends.remote_addr[0], ends.remote_addr[1], ends.remote_addr[2])) {
        ends.family = AF_INET6;
    } else {
        __builtin_memset(ends.local_addr, 0, sizeof(ends.local_addr));
        __builtin_memset(ends.remote_addr, 0, sizeof(ends.remote_addr));
        ends.local_addr[0] = local4;
        ends.remote_addr[0] = remote4;
    }
    struct bpf_sock* sk = ops->sk;
    if (!sk) return ALLOW;
    struct reported* seen = bpf_sk_storage_get(&reported, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (seen) report_unless_seen(seen, IPPROTO_TCP, &ends);
    return ALLOW;
}

/* A connected socket that a process sends or receives on: the accepted side of a TCP
 * connection (the handshake runs in softirq, on behalf of whichever task was current, so the
 * server's process is first known when it uses the socket), a connected UDP socket, or a
 * socket handed to another process. Unconnected UDP sockets report through the cgroup hooks,
 * which know the peer. */
static __always_inline void report_socket_use(struct sock* sk) {
    __u16 family = sk->__sk_common.skc_family;
    if (family != AF_INET && family != AF_INET6) return;
    __u16 protocol = sk->sk_protocol;
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return;
    /* Unconnected UDP sockets and finished TCP connections are in TCP_CLOSE. */
    if (sk->__sk_common.skc_state == TCP_CLOSE || sk->__sk_common.skc_state == TCP_LISTEN) return;
    struct ends ends = {};
    if (!socket_ends_of(sk, &ends)) return;
    struct reported* seen = bpf_sk_storage_get(&reported, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (seen) report_unless_seen(seen, protocol, &ends);
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(ravelin_send, struct sock* sk, int ret, int flags) {
    report_socket_use(sk);
    return 0;
}

SEC("tp_btf/sock_recv_length")
int BPF_PROG(ravelin_recv, struct sock* sk, int ret, int flags) {
    report_socket_use(sk);
    return 0;
}

/* The end of a reported TCP connection. At TCP_CLOSE rather than at the socket's release, which
 * can come before the last FIN. */
SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(ravelin_tcp_close, const struct sock* sk, const int oldstate, const int newstate) {
    if (newstate != TCP_CLOSE || sk->sk_protocol != IPPROTO_TCP) return 0;
    struct reported* seen = bpf_sk_storage_get(&reported, (struct sock*)sk, 0, 0);
    if (!seen || seen->owner.pid == 0) return 0;
    struct ends ends = {};
    if (!socket_ends_of(sk, &ends)) return 0;
    struct owner owner = seen->owner;
    if (emit(RAVELIN_SOCKET_CLOSED, IPPROTO_TCP, &ends, &owner)) seen->owner.pid = 0;
    return 0;
}

/* An unconnected UDP socket's ends at a send or receive with an address, once per socket,
 * process and peer. Marked seen only after the record is out, so a full ring buffer costs a
 * repeat and never a loss. */
static __always_inline void report_udp(struct bpf_sock_addr* ctx, const struct ends* ends) {
    struct bpf_sock* sk = ctx->sk;
    if (!sk) return;
    struct reported* seen = bpf_sk_storage_get(&reported, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!seen) return;
    struct udp_seen_key key = {
        .pid = bpf_get_current_pid_tgid() >> 32,
        .ends = *ends,
    };
    /* The common case: the same process and peer as the socket's last datagram. */
    if (seen_peer(seen, key.pid, ends)) return;
    key.cookie = bpf_get_socket_cookie(ctx);
    if (bpf_map_lookup_elem(&udp_seen, &key)) {
        /* Reported before: only the fast path's memory changes hands. */
        remember_peer(seen, key.pid, ends);
        return;
    }
    if (report_unless_seen(seen, IPPROTO_UDP, ends)) {
        __u8 one = 1;
        bpf_map_update_elem(&udp_seen, &key, &one, BPF_ANY);
    }
}

static __always_inline void report_udp4(struct bpf_sock_addr* ctx) {
    struct bpf_sock* sk = ctx->sk;
    if (!sk || ctx->protocol != IPPROTO_UDP) return;
    struct ends ends = {
        .family = AF_INET,
        .local_port = sk->src_port,
        .remote_port = bpf_ntohs((__u16)ctx->user_port),
    };
    ends.local_addr[0] = sk->src_ip4;
    ends.remote_addr[0] = ctx->user_ip4;
    report_udp(ctx, &ends);
}

/* An IPv6 socket's local address in its IPv4 form, for one that carries IPv4 (bound to :: or to
 * a mapped address), 0 for any; false for an IPv6 address, which carries no IPv4. */
static __always_inline bool local_ipv4_of(const __u32* local, __u32* address) {
    if (is_v4_mapped(local[0], local[1], local[2])) {
        *address = local[3];
        return true;
    }
    *address = 0;
    return (local[0] | local[1] | local[2] | local[3]) == 0;
}

/* The peer of a dual-stack socket is IPv4 when mapped: its datagrams are IPv4 packets. */
static __always_inline void report_udp6(struct bpf_sock_addr* ctx) {
    struct bpf_sock* sk = ctx->sk;
    if (!sk || ctx->protocol != IPPROTO_UDP) return;
    /* Read in straight code, as in ravelin_tcp_connect. */
    struct ends ends = {
        .family = AF_INET6,
        .local_port = sk->src_port,
        .remote_port = bpf_ntohs((__u16)ctx->user_port),
        .local_addr = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]},
        .remote_addr = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]},
    };
    barrier_var(ends.local_addr[3]);
    barrier_var(ends.remote_addr[3]);
    if (is_v4_mapped(ends.remote_addr[0], ends.remote_addr[1], ends.remote_addr[2])) {
        __u32 local = 0;
        if (!local_ipv4_of(ends.local_addr, &local)) return;
        __u32 remote = ends.remote_addr[3];
        __builtin_memset(ends.local_addr, 0, sizeof(ends.local_addr));
        __builtin_memset(ends.remote_addr, 0, sizeof(ends.remote_addr));
        ends.family = AF_INET;
        ends.local_addr[0] = local;
        ends.remote_addr[0] = remote;
    }
    report_udp(ctx, &ends);
}

/* Before a datagram with an address leaves: an unbound socket has its port by now. */
SEC("cgroup/sendmsg4")
int ravelin_udp_send(struct bpf_sock_addr* ctx) {
    report_udp4(ctx);
    return ALLOW;
}

/* A datagram read with the sender's address: the address is the sender's. */
SEC("cgroup/recvmsg4")
int ravelin_udp_recv(struct bpf_sock_addr* ctx) {
    report_udp4(ctx);
    return ALLOW;
}

/* The same for AF_INET6 sockets. A dual-stack socket's IPv4 datagrams pass here too: received
 * ones with the mapped sender, while sent ones take the IPv4 path and its hook. */
SEC("cgroup/sendmsg6")
int ravelin_udp_send6(struct bpf_sock_addr* ctx) {
    report_udp6(ctx);
    return ALLOW;
}

SEC("cgroup/recvmsg6")
int ravelin_udp_recv6(struct bpf_sock_addr* ctx) {
    report_udp6(ctx);
    return ALLOW;
}

/* An explicit bind: a server's port is known before its first packet. */
SEC("cgroup/post_bind4")
int ravelin_bind(struct bpf_sock* sk) {
    if (sk->protocol != IPPROTO_TCP && sk->protocol != IPPROTO_UDP) return ALLOW;
    struct ends ends = {.family = AF_INET, .local_port = sk->src_port};
    ends.local_addr[0] = sk->src_ip4;
    struct owner owner = {};
    current_owner(&owner);
    emit(RAVELIN_SOCKET_OPENED, sk->protocol, &ends, &owner);
    return ALLOW;
}

/* A bind to a mapped address takes IPv4 only, and is told as IPv4. A bind to :: is told as IPv6
 * only: whether it takes IPv4 too (IPV6_V6ONLY) is not among what the hook sees, and a wrong
 * owner is worse than none; the tables know, and answer for its IPv4 flows. */
SEC("cgroup/post_bind6")
int ravelin_bind6(struct bpf_sock* sk) {
    if (sk->protocol != IPPROTO_TCP && sk->protocol != IPPROTO_UDP) return ALLOW;
    struct ends ends = {
        .family = AF_INET6,
        .local_port = sk->src_port,
        .local_addr = {sk->src_ip6[0], sk->src_ip6[1], sk->src_ip6[2], sk->src_ip6[3]},
    };
    barrier_var(ends.local_addr[3]);
    if (is_v4_mapped(ends.local_addr[0], ends.local_addr[1], ends.local_addr[2])) {
        __u32 local = ends.local_addr[3];
        __builtin_memset(ends.local_addr, 0, sizeof(ends.local_addr));
        ends.family = AF_INET;
        ends.local_addr[0] = local;
    }
    struct owner owner = {};
    current_owner(&owner);
    emit(RAVELIN_SOCKET_OPENED, sk->protocol, &ends, &owner);
    return ALLOW;
}
