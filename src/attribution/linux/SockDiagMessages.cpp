#include "attribution/linux/SockDiagMessages.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace ravelin {

namespace {

// Kernel structures are copied out rather than cast in place: the buffer is bytes, and a copy
// cannot be misaligned or read beyond what was checked.
template <typename T>
T CopyOut(std::span<const std::uint8_t> bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

constexpr std::size_t Align4(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

// Reads the attributes that follow an inet_diag_msg; stops at the first malformed one.
void DecodeAttributes(std::span<const std::uint8_t> attributes, DiagSocket& socket) {
    while (attributes.size() >= sizeof(rtattr)) {
        const auto header = CopyOut<rtattr>(attributes);
        if (header.rta_len < sizeof(rtattr) || header.rta_len > attributes.size()) return;
        const auto payload = attributes.subspan(sizeof(rtattr), header.rta_len - sizeof(rtattr));
        if (header.rta_type == INET_DIAG_SKV6ONLY && !payload.empty()) {
            socket.v6Only = payload[0] != 0;
        }
        attributes = attributes.subspan(std::min(Align4(header.rta_len), attributes.size()));
    }
}

bool DecodeSocket(std::span<const std::uint8_t> body, DiagSocket& socket) {
    if (body.size() < sizeof(inet_diag_msg)) return false;
    const auto message = CopyOut<inet_diag_msg>(body);
    socket.family = message.idiag_family;
    socket.state = message.idiag_state;
    std::memcpy(socket.localAddress.data(), message.id.idiag_src, sizeof(message.id.idiag_src));
    std::memcpy(socket.remoteAddress.data(), message.id.idiag_dst, sizeof(message.id.idiag_dst));
    socket.localPort = ntohs(message.id.idiag_sport);
    socket.remotePort = ntohs(message.id.idiag_dport);
    socket.inode = message.idiag_inode;
    socket.v6Only.reset();
    const std::size_t attributesStart = Align4(sizeof(inet_diag_msg));
    if (body.size() > attributesStart) DecodeAttributes(body.subspan(attributesStart), socket);
    return true;
}

bool IsAny(const std::array<std::uint32_t, 4>& address) {
    return address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
}

bool IsV4Mapped(const std::array<std::uint32_t, 4>& address) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0x0000FFFF);
}

// The IPv4 form of an AF_INET6 address: :: is 0.0.0.0, ::ffff:a.b.c.d is a.b.c.d.
std::optional<std::uint32_t> Ipv4Of(const std::array<std::uint32_t, 4>& address) {
    if (IsAny(address)) return 0;
    if (IsV4Mapped(address)) return address[3];
    return std::nullopt;
}

}  // namespace

DiagDecodeResult DecodeDiagDatagram(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                                    std::vector<DiagSocket>& sockets) {
    using Status = DiagDecodeResult::Status;
    while (datagram.size() >= sizeof(nlmsghdr)) {
        const auto header = CopyOut<nlmsghdr>(datagram);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size()) {
            return {Status::kError, EBADMSG};
        }
        const auto body = datagram.subspan(sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
        datagram = datagram.subspan(std::min(Align4(header.nlmsg_len), datagram.size()));
        if (header.nlmsg_seq != sequence) continue;

        if (header.nlmsg_type == NLMSG_DONE) {
            // A dump that failed part-way says so in the DONE message.
            if (body.size() >= sizeof(int)) {
                const int error = CopyOut<int>(body);
                if (error < 0) return {Status::kError, -error};
            }
            return {Status::kDone, 0};
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            if (body.size() < sizeof(int)) return {Status::kError, EBADMSG};
            const int error = CopyOut<int>(body);
            if (error == 0) return {Status::kDone, 0};  // an acknowledgement
            return {Status::kError, error < 0 ? -error : error};
        }
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;

        DiagSocket socket;
        if (!DecodeSocket(body, socket)) return {Status::kError, EBADMSG};
        sockets.push_back(socket);
        // An exact lookup answers with one message that is not part of a multipart series.
        if ((header.nlmsg_flags & NLM_F_MULTI) == 0) return {Status::kDone, 0};
    }
    return {Status::kMore, 0};
}

std::optional<SocketRow> Ipv4Row(const DiagSocket& socket) {
    if (socket.family == AF_INET) {
        return SocketRow{SocketEndpoints::Ipv4(socket.localAddress[0], socket.localPort,
                                               socket.remoteAddress[0], socket.remotePort),
                         socket.inode};
    }
    if (socket.family != AF_INET6) return std::nullopt;

    if (IsAny(socket.localAddress)) {
        // Without the attribute (TIME_WAIT, request sockets) nothing says it takes IPv4.
        if (!socket.v6Only.has_value() || *socket.v6Only) return std::nullopt;
    } else if (!IsV4Mapped(socket.localAddress)) {
        return std::nullopt;
    }
    const auto remote = Ipv4Of(socket.remoteAddress);
    if (!remote) return std::nullopt;
    return SocketRow{SocketEndpoints::Ipv4(*Ipv4Of(socket.localAddress), socket.localPort, *remote,
                                           socket.remotePort),
                     socket.inode};
}

std::optional<SocketRow> Ipv6Row(const DiagSocket& socket) {
    // Mapped ends are IPv4 traffic: Ipv4Row's. The any-address is both families' when the
    // socket takes IPv4 too.
    if (socket.family != AF_INET6 || IsV4Mapped(socket.localAddress) ||
        IsV4Mapped(socket.remoteAddress)) {
        return std::nullopt;
    }
    const auto address = [](const std::array<std::uint32_t, 4>& words) {
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), words.data(), bytes.size());
        return IpAddress::Ipv6(bytes);
    };
    return SocketRow{{address(socket.localAddress), socket.localPort, address(socket.remoteAddress),
                      socket.remotePort},
                     socket.inode};
}

}  // namespace ravelin
