#include "attribution/linux/NetlinkSocketTable.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <span>

namespace ravelin {

struct NetlinkSocketTable::Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

namespace {

constexpr std::uint32_t kAllStates = ~0U;
constexpr std::uint32_t kListenState = 1U << TCP_LISTEN;

// The kernel answers at once; the limit only keeps a lost answer from hanging the caller.
constexpr timeval kReceiveTimeout = {2, 0};

void FillRequest(nlmsghdr& header, inet_diag_req_v2& body, std::uint8_t family,
                 std::uint8_t protocol, std::uint32_t states, std::uint16_t flags) {
    header.nlmsg_len = sizeof(header) + sizeof(body);
    header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    body.sdiag_family = family;
    body.sdiag_protocol = protocol;
    body.idiag_states = states;
}

// Puts an address where the kernel looks for it: an IPv4 address in word 0 for AF_INET and as
// the tail of ::ffff:a.b.c.d for AF_INET6, an IPv6 address as it is.
void PutAddress(std::uint8_t family, const IpAddress& address, __be32 (&words)[4]) {
    if (address.ipv6) {
        std::memcpy(words, address.bytes.data(), address.bytes.size());
    } else if (family == AF_INET) {
        words[0] = address.ipv4();
    } else {
        words[2] = htonl(0x0000FFFF);
        words[3] = address.ipv4();
    }
}

}  // namespace

NetlinkSocketTable::NetlinkSocketTable() : buffer_(kInitialBufferBytes) {}

CallResult NetlinkSocketTable::OpenSocket() {
    fd_.Reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd_.valid()) {
        lastError_ = SystemError::FromErrno(errno);
        return CallResult::Failure(lastError_);
    }
    const int status =
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &kReceiveTimeout, sizeof(kReceiveTimeout));
    if (status != 0) {
        lastError_ = SystemError::FromErrno(errno);
        fd_.Reset();
        return CallResult::Failure(lastError_);
    }
    return CallResult::Success();
}

CallResult NetlinkSocketTable::Open() {
    for (auto step : {&NetlinkSocketTable::OpenSocket, &NetlinkSocketTable::ProbeTcp,
                      &NetlinkSocketTable::ProbeUdp}) {
        if (CallResult result = (this->*step)(); !result.succeeded()) return result;
    }
    lastError_ = {};
    return CallResult::Success();
}

// Empty state masks: the kernel checks the request and finds the protocol's handler, but sends
// no sockets.
CallResult NetlinkSocketTable::ProbeTcp() {
    if (Dump(AF_INET, IPPROTO_TCP, 0)) return CallResult::Success();
    fd_.Reset();
    return CallResult::Failure(lastError_);
}

CallResult NetlinkSocketTable::ProbeUdp() {
    if (Dump(AF_INET, IPPROTO_UDP, 0)) return CallResult::Success();
    fd_.Reset();
    return CallResult::Failure(lastError_);
}

NetlinkSocketTable::Outcome NetlinkSocketTable::Fail(int code) {
    lastError_ = SystemError::FromErrno(code);
    // The rest of an abandoned answer may still be queued; a fresh socket starts clean.
    const SystemError error = lastError_;
    OpenSocket();
    lastError_ = error;
    return Outcome::kFailed;
}

NetlinkSocketTable::Outcome NetlinkSocketTable::Exchange(Request& request) {
    static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));  // no padding
    sockets_.clear();
    request.header.nlmsg_seq = ++sequence_;
    if (!fd_.valid()) {
        lastError_ = {EBADF, "the socket table is not open"};
        return Outcome::kFailed;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(fd_.get(), &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel),
                      sizeof(kernel));
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return Fail(errno);
    if (static_cast<std::size_t>(sent) != sizeof(request)) return Fail(EMSGSIZE);

    for (;;) {
        // Learn the datagram's size first: a netlink datagram that does not fit is lost.
        ssize_t size;
        do {
            size = recv(fd_.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC);
        } while (size < 0 && errno == EINTR);
        if (size < 0) return Fail(errno);
        if (static_cast<std::size_t>(size) > buffer_.size()) {
            buffer_.resize(static_cast<std::size_t>(size));
        }

        iovec part{buffer_.data(), buffer_.size()};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        ssize_t received;
        do {
            received = recvmsg(fd_.get(), &message, 0);
        } while (received < 0 && errno == EINTR);
        if (received < 0) return Fail(errno);
        if ((message.msg_flags & MSG_TRUNC) != 0) return Fail(EMSGSIZE);

        const auto result = DecodeDiagDatagram(
            std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(received)),
            sequence_, sockets_);
        switch (result.status) {
            case DiagDecodeResult::Status::kMore:
                continue;
            case DiagDecodeResult::Status::kDone:
                return Outcome::kAnswered;
            case DiagDecodeResult::Status::kError:
                if (result.error == ENOENT) {
                    lastError_ = SystemError::FromErrno(ENOENT);
                    return Outcome::kNotFound;
                }
                if (result.error == EBADMSG) return Fail(EBADMSG);
                // The kernel refused the request; its answer is complete.
                lastError_ = SystemError::FromErrno(result.error);
                return Outcome::kFailed;
        }
    }
}

bool NetlinkSocketTable::Dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states) {
    Request request{};
    FillRequest(request.header, request.body, family, protocol, states, NLM_F_DUMP);
    // A dump that finds no handler answers ENOENT: for a dump that is a failure.
    return Exchange(request) == Outcome::kAnswered;
}

bool NetlinkSocketTable::ListRows(std::uint8_t protocol, std::uint32_t states,
                                  std::vector<SocketRow>& rows) {
    rows.clear();
    for (std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
        if (!Dump(family, protocol, states)) return false;
        for (const DiagSocket& socket : sockets_) {
            if (auto row = Ipv4Row(socket)) rows.push_back(*row);
            if (auto row = Ipv6Row(socket)) rows.push_back(*row);
        }
    }
    return true;
}

bool NetlinkSocketTable::ListTcpSockets(std::vector<SocketRow>& rows) {
    return ListRows(IPPROTO_TCP, kAllStates, rows);
}

bool NetlinkSocketTable::ListTcpListeners(std::vector<SocketRow>& rows) {
    return ListRows(IPPROTO_TCP, kListenState, rows);
}

bool NetlinkSocketTable::ListUdpSockets(std::vector<SocketRow>& rows) {
    return ListRows(IPPROTO_UDP, kAllStates, rows);
}

std::optional<std::uint64_t> NetlinkSocketTable::LookUp(std::uint8_t family,
                                                        const SocketEndpoints& endpoints) {
    // The state mask is ignored by exact lookups; it is set for what the request means.
    Request request{};
    FillRequest(request.header, request.body, family, IPPROTO_TCP, kAllStates & ~kListenState, 0);
    inet_diag_sockid& id = request.body.id;
    id.idiag_sport = htons(endpoints.localPort);
    id.idiag_dport = htons(endpoints.remotePort);
    PutAddress(family, endpoints.localAddress, id.idiag_src);
    PutAddress(family, endpoints.remoteAddress, id.idiag_dst);
    id.idiag_if = 0;
    id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    if (Exchange(request) != Outcome::kAnswered) return std::nullopt;
    for (const DiagSocket& socket : sockets_) {
        // Without a connection of these ends the kernel answers with the port's listener.
        if (socket.state != TCP_LISTEN) return socket.inode;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> NetlinkSocketTable::FindTcpConnection(
    const SocketEndpoints& endpoints) {
    if (endpoints.ipv6()) return LookUp(AF_INET6, endpoints);
    // The kernel finds IPv6 sockets with IPv4-mapped ends by the IPv4 lookup as well (they share
    // its hash); asking again as AF_INET6 on a miss costs one round trip and relies on no such
    // detail.
    if (auto inode = LookUp(AF_INET, endpoints)) return inode;
    return LookUp(AF_INET6, endpoints);
}

}  // namespace ravelin
