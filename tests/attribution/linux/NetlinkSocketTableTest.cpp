#include "attribution/linux/NetlinkSocketTable.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/UniqueFd.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const IpAddress kLoopback6 = *IpAddress::Parse("::1");
const IpAddress kAny6 = *IpAddress::Parse("::");

SocketEndpoints V4(std::uint32_t local, std::uint16_t localPort, std::uint32_t remote,
                   std::uint16_t remotePort) {
    return SocketEndpoints::Ipv4(local, localPort, remote, remotePort);
}

struct TestSocket {
    UniqueFd fd;
    std::uint16_t port = 0;
    std::uint64_t inode = 0;
};

std::uint64_t InodeOf(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? status.st_ino : 0;
}

std::uint16_t PortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.ss_family == AF_INET
                     ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                     : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

TestSocket Finish(UniqueFd fd) {
    TestSocket socket;
    socket.port = PortOf(fd.get());
    socket.inode = InodeOf(fd.get());
    socket.fd = std::move(fd);
    return socket;
}

// A socket on 127.0.0.1, port chosen by the kernel; listening when `listen` is set.
TestSocket Ipv4Socket(int type, bool listen) {
    UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    if (listen) {
        EXPECT_EQ(::listen(fd.get(), 8), 0);
    }
    return Finish(std::move(fd));
}

// A socket on [::], port chosen by the kernel, taking IPv4 too unless `v6Only`.
TestSocket AnySocket6(int type, bool listen, bool v6Only) {
    UniqueFd fd(socket(AF_INET6, type | SOCK_CLOEXEC, 0));
    const int only = v6Only ? 1 : 0;
    EXPECT_EQ(setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof(only)), 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    if (listen) {
        EXPECT_EQ(::listen(fd.get(), 8), 0);
    }
    return Finish(std::move(fd));
}

// A connection to 127.0.0.1:port or [::1]:port: the connecting and the accepted socket.
struct Connection {
    TestSocket client;
    TestSocket server;
    SocketEndpoints clientEnds;  // seen from the client; the server sees them swapped
    SocketEndpoints ServerEnds() const {
        return {clientEnds.remoteAddress, clientEnds.remotePort, clientEnds.localAddress,
                clientEnds.localPort};
    }
};

Connection Connect(const TestSocket& listener, bool ipv6 = false) {
    Connection connection;
    UniqueFd client(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    address.sin_port = htons(listener.port);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = htons(listener.port);
    const int status =
        ipv6 ? connect(client.get(), reinterpret_cast<sockaddr*>(&address6), sizeof(address6))
             : connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    EXPECT_EQ(status, 0) << std::strerror(errno);
    connection.client = Finish(std::move(client));
    connection.server =
        Finish(UniqueFd(accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC)));
    EXPECT_TRUE(connection.server.fd.valid());
    connection.clientEnds =
        ipv6 ? SocketEndpoints{kLoopback6, connection.client.port, kLoopback6, listener.port}
             : V4(kLoopback, connection.client.port, kLoopback, listener.port);
    return connection;
}

const SocketRow* FindRow(const std::vector<SocketRow>& rows, const SocketEndpoints& ends) {
    auto found = std::find_if(rows.begin(), rows.end(),
                              [&](const SocketRow& row) { return row.endpoints == ends; });
    return found == rows.end() ? nullptr : &*found;
}

long RowsOfInode(const std::vector<SocketRow>& rows, std::uint64_t inode) {
    return std::count_if(rows.begin(), rows.end(),
                         [&](const SocketRow& row) { return row.inode == inode; });
}

class NetlinkSocketTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(table_.Open().succeeded()) << table_.lastError().reason;
        EXPECT_EQ(table_.lastError().code, 0);
    }

    NetlinkSocketTable table_;
    std::vector<SocketRow> rows_;
};

TEST_F(NetlinkSocketTableTest, ListsListenersUnderEachFamilyTheyTake) {
    const TestSocket ipv4 = Ipv4Socket(SOCK_STREAM, true);
    const TestSocket dual = AnySocket6(SOCK_STREAM, true, false);
    const TestSocket v6Only = AnySocket6(SOCK_STREAM, true, true);

    ASSERT_TRUE(table_.ListTcpListeners(rows_)) << table_.lastError().reason;
    const SocketRow* row = FindRow(rows_, V4(kLoopback, ipv4.port, 0, 0));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, ipv4.inode);
    // A dual-stack listener is a row of each family, an IPv6-only one a row of IPv6 alone.
    row = FindRow(rows_, V4(0, dual.port, 0, 0));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, dual.inode);
    row = FindRow(rows_, {kAny6, dual.port, kAny6, 0});
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, dual.inode);
    row = FindRow(rows_, {kAny6, v6Only.port, kAny6, 0});
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, v6Only.inode);
    EXPECT_EQ(RowsOfInode(rows_, v6Only.inode), 1);
}

TEST_F(NetlinkSocketTableTest, FindsBothEndsOfConnectionsOfEitherFamily) {
    const TestSocket ipv4 = Ipv4Socket(SOCK_STREAM, true);
    const TestSocket dual = AnySocket6(SOCK_STREAM, true, false);
    // Over IPv4 to either listener, over IPv6 to the dual-stack one.
    for (bool ipv6 : {false, true}) {
        for (const TestSocket* listener : {&ipv4, &dual}) {
            if (ipv6 && listener == &ipv4) continue;
            SCOPED_TRACE(ipv6 ? "IPv6" : listener == &ipv4 ? "IPv4 listener" : "dual-stack");
            const Connection connection = Connect(*listener, ipv6);
            EXPECT_EQ(table_.FindTcpConnection(connection.clientEnds), connection.client.inode);
            // Over IPv4, the dual-stack listener's accepted socket is AF_INET6 with mapped ends.
            EXPECT_EQ(table_.FindTcpConnection(connection.ServerEnds()), connection.server.inode);
            EXPECT_NE(connection.client.inode, connection.server.inode);
        }
    }
}

TEST_F(NetlinkSocketTableTest, FindsNothingForEndsWithoutAConnection) {
    const TestSocket listener = Ipv4Socket(SOCK_STREAM, true);
    const TestSocket unused = Ipv4Socket(SOCK_STREAM, false);  // holds a port nobody uses
    // The kernel answers a lookup of a listening port with the listener: not a connection.
    EXPECT_EQ(table_.FindTcpConnection(V4(kLoopback, listener.port, kLoopback, unused.port)),
              std::nullopt);
    EXPECT_EQ(table_.FindTcpConnection(V4(kLoopback, unused.port, kLoopback, listener.port)),
              std::nullopt);
}

TEST_F(NetlinkSocketTableTest, AClosedConnectionLosesItsInode) {
    const TestSocket listener = Ipv4Socket(SOCK_STREAM, true);
    Connection connection = Connect(listener);
    ASSERT_EQ(table_.FindTcpConnection(connection.clientEnds), connection.client.inode);
    const SocketEndpoints clientEnds = connection.clientEnds;
    const SocketEndpoints serverEnds = connection.ServerEnds();
    connection.client.fd.Reset();
    connection.server.fd.Reset();
    // Gone, or left in TIME_WAIT / FIN_WAIT without a file.
    const auto ownerless = [&](const SocketEndpoints& ends) {
        const auto inode = table_.FindTcpConnection(ends);
        return !inode || *inode == 0;
    };
    EXPECT_TRUE(test::WaitUntil([&] { return ownerless(clientEnds); }));
    EXPECT_TRUE(test::WaitUntil([&] { return ownerless(serverEnds); }));
}

TEST_F(NetlinkSocketTableTest, ListsUdpSocketsUnderEachFamilyTheyTake) {
    const TestSocket ipv4 = Ipv4Socket(SOCK_DGRAM, false);
    const TestSocket dual = AnySocket6(SOCK_DGRAM, false, false);
    const TestSocket v6Only = AnySocket6(SOCK_DGRAM, false, true);
    // A dual-stack socket connected to an IPv4 peer takes the mapped loopback address.
    TestSocket connected = AnySocket6(SOCK_DGRAM, false, false);
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:127.0.0.1", &peer.sin6_addr), 1);
    peer.sin6_port = htons(ipv4.port);
    ASSERT_EQ(connect(connected.fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof(peer)), 0);

    ASSERT_TRUE(table_.ListUdpSockets(rows_)) << table_.lastError().reason;
    const SocketRow* row = FindRow(rows_, V4(kLoopback, ipv4.port, 0, 0));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, ipv4.inode);
    row = FindRow(rows_, V4(0, dual.port, 0, 0));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, dual.inode);
    row = FindRow(rows_, V4(kLoopback, connected.port, kLoopback, ipv4.port));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, connected.inode);
    row = FindRow(rows_, {kAny6, v6Only.port, kAny6, 0});
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->inode, v6Only.inode);
    // Connected to a mapped peer, the socket carries IPv4 only.
    EXPECT_EQ(RowsOfInode(rows_, connected.inode), 1);
}

TEST_F(NetlinkSocketTableTest, ListsTcpListenersAndConnectionsTogether) {
    const TestSocket dual = AnySocket6(SOCK_STREAM, true, false);
    const Connection connection = Connect(dual);
    rows_.push_back({});  // the list replaces what was there

    ASSERT_TRUE(table_.ListTcpSockets(rows_)) << table_.lastError().reason;
    const SocketRow* listener = FindRow(rows_, V4(0, dual.port, 0, 0));
    const SocketRow* client = FindRow(rows_, connection.clientEnds);
    const SocketRow* server = FindRow(rows_, connection.ServerEnds());
    ASSERT_TRUE(listener && client && server);
    EXPECT_EQ(listener->inode, dual.inode);
    EXPECT_EQ(client->inode, connection.client.inode);
    EXPECT_EQ(server->inode, connection.server.inode);
    EXPECT_FALSE(FindRow(rows_, {}));

    ASSERT_TRUE(table_.ListTcpListeners(rows_));
    EXPECT_FALSE(FindRow(rows_, connection.clientEnds));
    EXPECT_FALSE(FindRow(rows_, connection.ServerEnds()));
}

TEST(NetlinkSocketTableUnopened, FailsWithoutReadingAnything) {
    NetlinkSocketTable table;
    std::vector<SocketRow> rows;
    EXPECT_FALSE(table.ListUdpSockets(rows));
    EXPECT_EQ(table.lastError().code, EBADF);
    EXPECT_EQ(table.FindTcpConnection(V4(kLoopback, 1, kLoopback, 2)), std::nullopt);
}

}  // namespace
}  // namespace ravelin
