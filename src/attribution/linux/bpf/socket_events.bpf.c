/* Socket events for KernelSocketEvents: which process opened which IPv4 TCP or UDP ends, told
 * while the process still runs. The programs only read: every hook lets the operation go on
 * unchanged. Records go to the ring buffer without a wakeup; user space drains it on a timer. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "socket_event_record.h"

/* KernelSocketEvents asserts the same size. */
_Static_assert(sizeof(struct ravelin_socket_event) == 36, "record layout");

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

struct ends {
    __u32 local_addr;
    __u32 remote_addr;
    __u16 local_port;
    __u16 remote_port;
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
    __u32 remote_addr;
    __u16 remote_port;
    __u16 reserved;
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
    event->reserved = 0;
    event->local_addr = ends->local_addr;
    event->remote_addr = ends->remote_addr;
    event->pid = owner->pid;
    __builtin_memcpy(event->name, owner->name, sizeof(event->name));
    bpf_ringbuf_submit(event, BPF_RB_NO_WAKEUP);
    return true;
}

/* Reports the current process's use of a socket unless the socket's last report was the same
 * process with the same peer; the socket's entry then remembers this report. */
static __always_inline bool report_unless_seen(struct reported* seen, __u8 protocol,
                                               const struct ends* ends) {
    __u32 pid = bpf_get_current_pid_tgid() >> 32;
    if (seen->owner.pid == pid && seen->remote_addr == ends->remote_addr &&
        seen->remote_port == ends->remote_port)
        return false;
    struct owner owner = {};
    current_owner(&owner);
    if (!emit(RAVELIN_SOCKET_OPENED, protocol, ends, &owner)) return false;
    seen->owner = owner;
    seen->remote_addr = ends->remote_addr;
    seen->remote_port = ends->remote_port;
    return true;
}

static __always_inline bool is_v4_mapped(__u32 w0, __u32 w1, __u32 w2) {
    return w0 == 0 && w1 == 0 && w2 == bpf_htonl(0x0000ffff);
}

/* The IPv4 ends of a connected socket: an IPv4 socket, or an IPv6 one whose peer is an
 * IPv4-mapped address (whose IPv4 fields the kernel keeps up to date). The local port comes
 * from inet_sport, which stays when a closing socket gives its bound port back. */
static __always_inline bool ipv4_ends_of(const struct sock* sk, struct ends* ends) {
    __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family == AF_INET6) {
        __u32 w0 = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr.in6_u.u6_addr32[0]);
        __u32 w1 = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr.in6_u.u6_addr32[1]);
        __u32 w2 = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr.in6_u.u6_addr32[2]);
        if (!is_v4_mapped(w0, w1, w2)) return false;
    } else if (family != AF_INET) {
        return false;
    }
    ends->local_addr = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
    ends->local_port = bpf_ntohs(BPF_CORE_READ((struct inet_sock*)sk, inet_sport));
    ends->remote_addr = BPF_CORE_READ(sk, __sk_common.skc_daddr);
    ends->remote_port = bpf_ntohs(BPF_CORE_READ(sk, __sk_common.skc_dport));
    return true;
}

/* TCP clients, from inside connect(): the local port is assigned and the SYN not yet sent.
 * Without callback flags the program runs only for a socket's few lifecycle callbacks. */
SEC("sockops")
int ravelin_tcp_connect(struct bpf_sock_ops* ops) {
    if (ops->op != BPF_SOCK_OPS_TCP_CONNECT_CB) return ALLOW;
    if (ops->family == AF_INET6 &&
        !is_v4_mapped(ops->remote_ip6[0], ops->remote_ip6[1], ops->remote_ip6[2]))
        return ALLOW;
    if (ops->family != AF_INET && ops->family != AF_INET6) return ALLOW;
    struct ends ends = {
        .local_addr = ops->local_ip4,
        .remote_addr = ops->remote_ip4,
        .local_port = ops->local_port,
        .remote_port = bpf_ntohl(ops->remote_port),
    };
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
    struct ends ends;
    if (!ipv4_ends_of(sk, &ends)) return;
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
    struct ends ends;
    if (!ipv4_ends_of(sk, &ends)) return 0;
    struct owner owner = seen->owner;
    if (emit(RAVELIN_SOCKET_CLOSED, IPPROTO_TCP, &ends, &owner)) seen->owner.pid = 0;
    return 0;
}

/* An unconnected UDP socket's ends at a send or receive with an address, once per socket,
 * process and peer. Marked seen only after the record is out, so a full ring buffer costs a
 * repeat and never a loss. */
static __always_inline void report_udp(struct bpf_sock_addr* ctx) {
    struct bpf_sock* sk = ctx->sk;
    if (!sk || ctx->protocol != IPPROTO_UDP) return;
    struct reported* seen = bpf_sk_storage_get(&reported, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!seen) return;
    struct udp_seen_key key = {
        .pid = bpf_get_current_pid_tgid() >> 32,
        .ends =
            {
                .local_addr = sk->src_ip4,
                .remote_addr = ctx->user_ip4,
                .local_port = sk->src_port,
                .remote_port = bpf_ntohs((__u16)ctx->user_port),
            },
    };
    /* The common case: the same process and peer as the socket's last datagram. */
    if (seen->owner.pid == key.pid && seen->remote_addr == key.ends.remote_addr &&
        seen->remote_port == key.ends.remote_port)
        return;
    key.cookie = bpf_get_socket_cookie(ctx);
    if (bpf_map_lookup_elem(&udp_seen, &key)) {
        /* Reported before: only the fast path's memory changes hands. */
        seen->owner.pid = key.pid;
        seen->remote_addr = key.ends.remote_addr;
        seen->remote_port = key.ends.remote_port;
        return;
    }
    if (report_unless_seen(seen, IPPROTO_UDP, &key.ends)) {
        __u8 one = 1;
        bpf_map_update_elem(&udp_seen, &key, &one, BPF_ANY);
    }
}

/* Before a datagram with an address leaves: an unbound socket has its port by now. */
SEC("cgroup/sendmsg4")
int ravelin_udp_send(struct bpf_sock_addr* ctx) {
    report_udp(ctx);
    return ALLOW;
}

/* A datagram read with the sender's address: the address is the sender's. */
SEC("cgroup/recvmsg4")
int ravelin_udp_recv(struct bpf_sock_addr* ctx) {
    report_udp(ctx);
    return ALLOW;
}

/* An explicit bind: a server's port is known before its first packet. */
SEC("cgroup/post_bind4")
int ravelin_bind(struct bpf_sock* sk) {
    if (sk->protocol != IPPROTO_TCP && sk->protocol != IPPROTO_UDP) return ALLOW;
    struct ends ends = {.local_addr = sk->src_ip4, .local_port = sk->src_port};
    struct owner owner = {};
    current_owner(&owner);
    emit(RAVELIN_SOCKET_OPENED, sk->protocol, &ends, &owner);
    return ALLOW;
}
