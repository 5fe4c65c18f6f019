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

/* Ports in host order, addresses in network order. The name is the thread-group leader's,
 * NUL-terminated when shorter than the field. */
struct ravelin_socket_event { /* NOLINT(readability-identifier-naming) */
    __u8 kind;
    __u8 protocol;
    __u16 local_port;
    __u16 remote_port;
    __u16 reserved;
    __u32 local_addr;
    __u32 remote_addr;
    __u32 pid;
    char name[RAVELIN_NAME_BYTES];
};

#endif
