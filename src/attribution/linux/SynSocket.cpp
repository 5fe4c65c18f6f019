#include "attribution/linux/SynSocket.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>

namespace ravelin {

namespace {

// Room for bursts of SYNs between two reads.
constexpr int kReceiveBufferBytes = 1 << 20;

constexpr std::uint32_t kIpv6TcpFlags = 40 + 13;

// TCP segments that this host sends with SYN set and ACK clear: IPv4 first fragments, and IPv6
// datagrams whose TCP header follows the fixed header (a SYN with extension headers is rare
// enough to be found later, by the tables). The socket is SOCK_DGRAM, so offset 0 is the IP
// header on every link type.
constexpr std::array<sock_filter, 19> kSynFilter = {{
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 16),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 7),
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),  // protocol
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, 0, 12),
    BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),  // flags and fragment offset
    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, 10, 0),
    BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X = the IP header's length
    BPF_STMT(BPF_LD | BPF_B | BPF_IND, 13),  // TCP flags
    BPF_STMT(BPF_JMP | BPF_JA, 4),           // to the flags' test
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, 0, 6),
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 6),  // next header
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, 0, 4),
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kIpv6TcpFlags),
    BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x12),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x02, 0, 1),  // SYN without ACK
    BPF_STMT(BPF_RET | BPF_K, kKeptSynBytes),
    BPF_STMT(BPF_RET | BPF_K, 0),
}};

}  // namespace

UniqueFd OpenOutgoingSynSocket() {
    UniqueFd socketFd(
        socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL)));
    if (!socketFd.valid()) return {};
    sock_fprog program{};
    program.len = kSynFilter.size();
    // The kernel copies the program and never writes through the pointer.
    program.filter = const_cast<sock_filter*>(kSynFilter.data());
    if (setsockopt(socketFd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        return {};
    }
    // A larger buffer only makes a burst less likely to overflow it.
    setsockopt(socketFd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
               sizeof kReceiveBufferBytes);
    // Whatever reached the socket before the filter took over is not known to be a SYN.
    std::array<std::uint8_t, kKeptSynBytes> scratch{};
    while (recv(socketFd.get(), scratch.data(), scratch.size(), MSG_DONTWAIT) >= 0) {
    }
    return socketFd;
}

}  // namespace ravelin
