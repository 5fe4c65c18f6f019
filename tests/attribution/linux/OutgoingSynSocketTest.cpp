#include "attribution/linux/OutgoingSynSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/UniqueFd.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1 or [::1] and a client connected to it, with the client's ends.
struct Connection {
    UniqueFd listener;
    UniqueFd client;
    UniqueFd accepted;
    SocketEndpoints clientEnds;
};

Connection Connect(bool ipv6) {
    Connection connection;
    const int family = ipv6 ? AF_INET6 : AF_INET;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ipv6) {
        auto& address6 = reinterpret_cast<sockaddr_in6&>(address);
        address6.sin6_family = AF_INET6;
        address6.sin6_addr = in6addr_loopback;
        length = sizeof(address6);
    } else {
        auto& address4 = reinterpret_cast<sockaddr_in&>(address);
        address4.sin_family = AF_INET;
        address4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(address4);
    }
    connection.listener.Reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(bind(connection.listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(connection.listener.get(), 8), 0);
    EXPECT_EQ(
        getsockname(connection.listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    connection.client.Reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(connect(connection.client.get(), reinterpret_cast<sockaddr*>(&address), length), 0)
        << std::strerror(errno);
    connection.accepted.Reset(accept4(connection.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));

    sockaddr_storage local{};
    socklen_t localLength = sizeof(local);
    EXPECT_EQ(
        getsockname(connection.client.get(), reinterpret_cast<sockaddr*>(&local), &localLength), 0);
    if (ipv6) {
        const IpAddress loopback = *IpAddress::Parse("::1");
        connection.clientEnds = {loopback, ntohs(reinterpret_cast<sockaddr_in6&>(local).sin6_port),
                                 loopback,
                                 ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port)};
    } else {
        connection.clientEnds = SocketEndpoints::Ipv4(
            htonl(INADDR_LOOPBACK), ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port),
            htonl(INADDR_LOOPBACK), ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port));
    }
    return connection;
}

TEST(OutgoingSynSocketTest, TellsTheClientsSynOfEitherFamilyAndNotTheServersAnswer) {
    const auto syns = OutgoingSynSocket::Open();
    if (!syns) GTEST_SKIP() << "no packet socket: " << std::strerror(errno);
    const Connection overIpv4 = Connect(false);
    const Connection overIpv6 = Connect(true);

    std::vector<SocketEndpoints> openings;
    const auto told = [&](const SocketEndpoints& ends) {
        return std::find(openings.begin(), openings.end(), ends) != openings.end();
    };
    const auto deadline = std::chrono::steady_clock::now() + test::kDeadline;
    while (!(told(overIpv4.clientEnds) && told(overIpv6.clientEnds)) &&
           std::chrono::steady_clock::now() < deadline) {
        ASSERT_NE(syns->Wait(openings, 100ms), ConnectionOpenings::Waited::kStopped);
    }
    EXPECT_TRUE(told(overIpv4.clientEnds));
    EXPECT_TRUE(told(overIpv6.clientEnds));
    // The listeners' SYN-ACKs are answers, not openings.
    for (const Connection* connection : {&overIpv4, &overIpv6}) {
        const std::uint16_t serverPort = connection->clientEnds.remotePort;
        EXPECT_TRUE(std::none_of(openings.begin(), openings.end(),
                                 [&](const auto& ends) { return ends.localPort == serverPort; }));
    }
}

}  // namespace
}  // namespace ravelin
