#include "attribution/linux/SockDiagMessages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace ravelin {
namespace {

using Status = DiagDecodeResult::Status;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSequence = 7;

template <typename T>
void Append(Bytes& bytes, const T& value) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

void Pad(Bytes& bytes) {
    bytes.resize((bytes.size() + 3) & ~std::size_t{3});
}

void AppendMessage(Bytes& datagram, std::uint16_t type, std::uint16_t flags, const Bytes& body,
                   std::uint32_t sequence = kSequence) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(sizeof(header) + body.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    Append(datagram, header);
    datagram.insert(datagram.end(), body.begin(), body.end());
    Pad(datagram);
}

// A dual-stack listener on [::]:port, with the V6ONLY attribute when given.
Bytes ListenerBody(std::uint16_t port, std::uint32_t inode, std::optional<std::uint8_t> v6Only) {
    inet_diag_msg message{};
    message.idiag_family = AF_INET6;
    message.idiag_state = TCP_LISTEN;
    message.id.idiag_sport = htons(port);
    message.idiag_inode = inode;
    Bytes body;
    Append(body, message);
    if (v6Only) {
        rtattr attribute{};
        attribute.rta_len = sizeof(attribute) + 1;
        attribute.rta_type = INET_DIAG_SKV6ONLY;
        Append(body, attribute);
        body.push_back(*v6Only);
        Pad(body);
    }
    return body;
}

void SetLength(Bytes& datagram, std::size_t length) {
    const auto value = static_cast<std::uint32_t>(length);
    std::memcpy(datagram.data(), &value, sizeof(value));  // nlmsg_len is the first field
}

Bytes ErrorBody(int error) {
    Bytes body;
    Append(body, error);
    return body;
}

// Decodes from a heap block of exactly the datagram's size, so ASan sees any read past it.
DiagDecodeResult Decode(const Bytes& datagram, std::vector<DiagSocket>& sockets) {
    auto exact = std::make_unique<std::uint8_t[]>(datagram.size());
    std::memcpy(exact.get(), datagram.data(), datagram.size());
    return DecodeDiagDatagram({exact.get(), datagram.size()}, kSequence, sockets);
}

TEST(SockDiagMessagesTest, DecodesAMultipartDumpUntilDone) {
    Bytes first;
    AppendMessage(first, SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, ListenerBody(80, 11, 0));
    AppendMessage(first, SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, ListenerBody(81, 12, 1));
    AppendMessage(first, SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, ListenerBody(82, 13, 0), kSequence - 1);
    Bytes second;
    AppendMessage(second, NLMSG_DONE, NLM_F_MULTI, ErrorBody(0));

    std::vector<DiagSocket> sockets;
    EXPECT_EQ(Decode(first, sockets).status, Status::kMore);
    EXPECT_EQ(Decode(second, sockets).status, Status::kDone);
    ASSERT_EQ(sockets.size(), 2u);  // the message of another request is skipped
    EXPECT_EQ(sockets[0].localPort, 80);
    EXPECT_EQ(sockets[0].inode, 11u);
    EXPECT_EQ(sockets[0].v6Only, false);
    EXPECT_EQ(sockets[1].v6Only, true);
}

TEST(SockDiagMessagesTest, ASingleReplyEndsTheAnswer) {
    Bytes datagram;
    AppendMessage(datagram, SOCK_DIAG_BY_FAMILY, 0, ListenerBody(80, 11, std::nullopt));
    std::vector<DiagSocket> sockets;
    EXPECT_EQ(Decode(datagram, sockets).status, Status::kDone);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_FALSE(sockets[0].v6Only.has_value());
}

TEST(SockDiagMessagesTest, ReportsKernelErrors) {
    std::vector<DiagSocket> sockets;
    Bytes refused;
    AppendMessage(refused, NLMSG_ERROR, 0, ErrorBody(-ENOENT));
    const auto result = Decode(refused, sockets);
    EXPECT_EQ(result.status, Status::kError);
    EXPECT_EQ(result.error, ENOENT);

    Bytes failedDump;
    AppendMessage(failedDump, NLMSG_DONE, NLM_F_MULTI, ErrorBody(-EINTR));
    EXPECT_EQ(Decode(failedDump, sockets).error, EINTR);
}

TEST(SockDiagMessagesTest, RejectsLengthsBeyondTheDatagram) {
    std::vector<DiagSocket> sockets;
    Bytes datagram;
    AppendMessage(datagram, SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, ListenerBody(80, 11, 0));
    Bytes overlong = datagram;
    SetLength(overlong, overlong.size() + 4);  // claims four bytes more than there are
    auto result = Decode(overlong, sockets);
    EXPECT_EQ(result.status, Status::kError);
    EXPECT_EQ(result.error, EBADMSG);

    Bytes cut = datagram;
    cut.resize(sizeof(nlmsghdr) + 20);  // inet_diag_msg cut short, length fixed to match
    SetLength(cut, cut.size());
    EXPECT_EQ(Decode(cut, sockets).error, EBADMSG);
    EXPECT_TRUE(sockets.empty());

    Bytes badAttribute = datagram;
    badAttribute[sizeof(nlmsghdr) + sizeof(inet_diag_msg)] = 200;  // rta_len past the message
    EXPECT_EQ(Decode(badAttribute, sockets).status, Status::kMore);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_FALSE(sockets[0].v6Only.has_value());
}

DiagSocket Socket6(const char* local, const char* remote, std::optional<bool> v6Only) {
    DiagSocket socket;
    socket.family = AF_INET6;
    inet_pton(AF_INET6, local, socket.localAddress.data());
    inet_pton(AF_INET6, remote, socket.remoteAddress.data());
    socket.localPort = 5000;
    socket.remotePort = 6000;
    socket.v6Only = v6Only;
    return socket;
}

TEST(SockDiagMessagesTest, ASocketIsARowOfEachFamilyItCarries) {
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    auto row = Ipv4Row(Socket6("::", "::", false));
    ASSERT_TRUE(row);
    EXPECT_EQ(row->endpoints, SocketEndpoints::Ipv4(0, 5000, 0, 6000));
    row = Ipv4Row(Socket6("::ffff:127.0.0.1", "::ffff:127.0.0.1", std::nullopt));
    ASSERT_TRUE(row);
    EXPECT_EQ(row->endpoints, SocketEndpoints::Ipv4(loopback, 5000, loopback, 6000));
    EXPECT_FALSE(Ipv6Row(Socket6("::ffff:127.0.0.1", "::ffff:127.0.0.1", std::nullopt)));

    EXPECT_FALSE(Ipv4Row(Socket6("::", "::", true)));
    EXPECT_FALSE(Ipv4Row(Socket6("::", "::", std::nullopt)));
    EXPECT_FALSE(Ipv4Row(Socket6("::1", "::1", false)));
    EXPECT_FALSE(Ipv4Row(Socket6("::ffff:127.0.0.1", "::1", false)));

    // IPv6 ends as they are, whether the socket takes IPv4 as well or not.
    const IpAddress any = *IpAddress::Parse("::");
    const IpAddress one = *IpAddress::Parse("::1");
    for (std::optional<bool> v6Only : {std::optional<bool>(false), std::optional<bool>(true)}) {
        row = Ipv6Row(Socket6("::", "::", v6Only));
        ASSERT_TRUE(row);
        EXPECT_EQ(row->endpoints, (SocketEndpoints{any, 5000, any, 6000}));
    }
    row = Ipv6Row(Socket6("::1", "::1", std::nullopt));
    ASSERT_TRUE(row);
    EXPECT_EQ(row->endpoints, (SocketEndpoints{one, 5000, one, 6000}));
}

}  // namespace
}  // namespace ravelin
