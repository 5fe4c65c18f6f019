/* The record the kernel program writes to the ring buffer and KernelSocketEvents reads: one
 * layout for both sides, so that a change to it cannot reach only one of them. C, for the
 * kernel program's sake. */
#ifndef RAVELIN_SOCKET_EVENT_RECORD_H
#define RAVELIN_SOCKET_EVENT_RECORD_H

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

enum ravelin_socket_event_kind {
    RAVELIN_SOCKET_OPENED = 1,
    RAVELIN_SOCKET_CLOSED = 2,
};

/* TASK_COMM_LEN */
#define RAVELIN_NAME_BYTES 16

/* Ports in host order, addresses in network order: an IPv4 address (family AF_INET) in word 0
 * and the other words 0, an IPv6 address (AF_INET6) in all four. An IPv6 socket's IPv4-mapped
 * ends come as IPv4. The name is the thread-group leader's, NUL-terminated when shorter than the
 * field. */
struct ravelin_socket_event { /* NOLINT(readability-identifier-naming) */
    __u8 kind;
    __u8 protocol;
    __u16 local_port;
    __u16 remote_port;
    __u16 family;
    __u32 local_addr[4];
    __u32 remote_addr[4];
    __u32 pid;
    char name[RAVELIN_NAME_BYTES];
};

#endif
