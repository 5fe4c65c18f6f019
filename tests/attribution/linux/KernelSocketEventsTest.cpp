#include "attribution/linux/KernelSocketEvents.h"
#include "attribution/linux/SocketEventRecord.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/bpf.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "attribution/linux/bpf/socket_event_record.h"
#include "base/UniqueFd.h"
#include "support/ChildProcess.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using namespace std::chrono_literals;
using Kind = SocketEvent::Kind;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

SocketEndpoints V4(std::uint32_t local, std::uint16_t localPort, std::uint32_t remote,
                   std::uint16_t remotePort) {
    return SocketEndpoints::Ipv4(local, localPort, remote, remotePort);
}

// Short-lived children: each does one thing with a socket, prints
// "<pid> <process name> <local address> <local port> <remote address> <remote port>"
// as getsockname and getpeername (or its own arguments) say, and exits at once.
constexpr const char* kChild = R"(
import ctypes, os, socket, sys, threading
mode = sys.argv[1]
name = open("/proc/self/comm").read().strip()
def report(local, remote):
    print(os.getpid(), name, *local[:2], *remote[:2], flush=True)
if mode == "tcp-connect":
    s = socket.create_connection(("127.0.0.1", int(sys.argv[2])))
    report(s.getsockname(), s.getpeername())
elif mode == "tcp6-connect":
    s = socket.create_connection(("::1", int(sys.argv[2])))
    report(s.getsockname(), s.getpeername())
elif mode == "tcp-connect-in-thread":
    def connect():
        ctypes.CDLL(None).prctl(15, b"rv-worker")  # PR_SET_NAME: the thread's own name
        s = socket.create_connection(("127.0.0.1", int(sys.argv[2])))
        print(open("/proc/thread-self/comm").read().strip(), flush=True)
        report(s.getsockname(), s.getpeername())
    worker = threading.Thread(target=connect)
    worker.start()
    worker.join()
elif mode == "tcp-serve":
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    print(listener.getsockname()[1], flush=True)
    s, _ = listener.accept()
    s.recv(100)
    report(s.getsockname(), s.getpeername())
elif mode == "udp-sendto":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for port in sys.argv[2:]:
        s.sendto(b"ravelin", ("127.0.0.1", int(port)))
    report(s.getsockname(), ("127.0.0.1", sys.argv[2]))
elif mode == "udp-connect":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect(("127.0.0.1", int(sys.argv[2])))
    s.send(b"ravelin")
    report(s.getsockname(), s.getpeername())
elif mode == "udp-receive":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1], flush=True)
    _, sender = s.recvfrom(100)
    report(s.getsockname(), sender)
elif mode == "udp6-dual-receive":
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", 0))
    print(s.getsockname()[1], flush=True)
    for _ in range(2):
        s.recvfrom(100)
    print("received", flush=True)
)";

struct ChildReport {
    int pid = 0;
    std::string name;
    SocketEndpoints ends;
};

std::optional<ChildReport> ParseReport(const std::string& line) {
    std::istringstream fields(line);
    ChildReport report;
    std::string local, remote;
    if (!(fields >> report.pid >> report.name >> local >> report.ends.localPort >> remote >>
          report.ends.remotePort)) {
        return std::nullopt;
    }
    const auto localAddress = IpAddress::Parse(local);
    const auto remoteAddress = IpAddress::Parse(remote);
    if (!localAddress || !remoteAddress) return std::nullopt;
    report.ends.localAddress = *localAddress;
    report.ends.remoteAddress = *remoteAddress;
    return report;
}

std::vector<std::string> ChildArguments(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"python3", "-c", kChild});
    return arguments;
}

std::optional<ChildReport> ReadReport(test::ChildProcess& child) {
    const auto line = child.ReadLine(test::kDeadline);
    if (!line) return std::nullopt;
    auto report = ParseReport(*line);
    EXPECT_TRUE(report) << *line;
    if (report) {
        EXPECT_EQ(report->pid, child.pid());
    }
    return report;
}

std::uint16_t PortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.ss_family == AF_INET
                     ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                     : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    address.sin_port = htons(port);
    return address;
}

sockaddr_in6 Loopback6Address(std::uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    return address;
}

// A socket of the test's own on 127.0.0.1 (or [::1]), port chosen by the kernel.
UniqueFd LoopbackSocket(int type, int family = AF_INET) {
    UniqueFd fd(socket(family, type | SOCK_CLOEXEC, 0));
    const sockaddr_in address = LoopbackAddress(0);
    const sockaddr_in6 address6 = Loopback6Address(0);
    const int bound =
        family == AF_INET6
            ? bind(fd.get(), reinterpret_cast<const sockaddr*>(&address6), sizeof(address6))
            : bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    EXPECT_EQ(bound, 0);
    if (type == SOCK_STREAM) {
        EXPECT_EQ(listen(fd.get(), 8), 0);
    }
    return fd;
}

std::string OwnName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool IsRefusalWithoutPrivilege(const std::string& reason) {
    return reason.starts_with("no permission");
}

class KernelSocketEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        KernelSocketEvents::Loaded loaded = KernelSocketEvents::Load();
        if (!loaded.events && IsRefusalWithoutPrivilege(loaded.reason)) {
            GTEST_SKIP() << loaded.reason;
        }
        ASSERT_TRUE(loaded.events) << loaded.reason;
        EXPECT_EQ(loaded.reason, "");
        events_ = std::move(loaded.events);
    }

    // The first event, of all drained so far and to come within a few seconds, that `matches`.
    template <typename Matches>
    std::optional<SocketEvent> WaitForEvent(Matches matches) {
        std::optional<SocketEvent> found;
        test::WaitUntil([&] {
            events_->Drain(seen_);
            const auto at = std::find_if(seen_.begin(), seen_.end(), matches);
            if (at != seen_.end()) found = *at;
            return found.has_value();
        });
        return found;
    }

    std::optional<SocketEvent> WaitForEvent(Kind kind, bool tcp, const SocketEndpoints& ends) {
        return WaitForEvent([&](const SocketEvent& event) {
            return event.kind == kind && event.tcp == tcp && event.endpoints == ends;
        });
    }

    long CountOf(int pid, bool tcp, const SocketEndpoints& ends) const {
        return std::count_if(seen_.begin(), seen_.end(), [&](const SocketEvent& event) {
            return event.pid == pid && event.tcp == tcp && event.endpoints == ends;
        });
    }

    std::unique_ptr<KernelSocketEvents> events_;
    std::vector<SocketEvent> seen_;
};

TEST_F(KernelSocketEventsTest, TcpConnectOfAChildThatExitsAtOnceAndItsClose) {
    const UniqueFd listener = LoopbackSocket(SOCK_STREAM);
    const std::uint16_t port = PortOf(listener.get());
    test::ChildProcess child(ChildArguments({"tcp-connect", std::to_string(port)}));
    ASSERT_GT(child.pid(), 0) << child.error();
    const auto report = ReadReport(child);
    ASSERT_TRUE(report);
    ASSERT_TRUE(child.WaitForExit(test::kDeadline));
    EXPECT_EQ(report->ends, V4(kLoopback, report->ends.localPort, kLoopback, port));

    const auto opened = WaitForEvent(Kind::kOpened, true, report->ends);
    ASSERT_TRUE(opened) << "no event for the child's connect";
    EXPECT_EQ(opened->pid, report->pid);
    EXPECT_EQ(opened->name, report->name);

    // The child's end closed at its exit; once ours closes too, the connection is over.
    UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted.valid()) << std::strerror(errno);
    accepted.Reset();
    const auto closed = WaitForEvent(Kind::kClosed, true, report->ends);
    ASSERT_TRUE(closed) << "no close for the child's connection";
    EXPECT_EQ(closed->pid, report->pid);
    EXPECT_EQ(closed->name, report->name);
}

TEST_F(KernelSocketEventsTest, NamesTheProcessNotTheThreadThatConnected) {
    const UniqueFd listener = LoopbackSocket(SOCK_STREAM);
    const std::uint16_t port = PortOf(listener.get());
    test::ChildProcess child(ChildArguments({"tcp-connect-in-thread", std::to_string(port)}));
    ASSERT_GT(child.pid(), 0) << child.error();
    const auto threadName = child.ReadLine(test::kDeadline);
    ASSERT_TRUE(threadName);
    const auto report = ReadReport(child);
    ASSERT_TRUE(report);
    ASSERT_NE(*threadName, report->name);

    const auto opened = WaitForEvent(Kind::kOpened, true, report->ends);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->pid, report->pid);
    EXPECT_EQ(opened->name, report->name);
}

TEST_F(KernelSocketEventsTest, ChildServerThatAcceptsAndReads) {
    test::ChildProcess server(ChildArguments({"tcp-serve"}));
    ASSERT_GT(server.pid(), 0) << server.error();
    const auto portLine = server.ReadLine(test::kDeadline);
    ASSERT_TRUE(portLine);
    const auto serverPort = static_cast<std::uint16_t>(std::stoi(*portLine));

    UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = LoopbackAddress(serverPort);
    ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
              0)
        << std::strerror(errno);
    const std::uint16_t clientPort = PortOf(client.get());
    ASSERT_EQ(send(client.get(), "GET", 3, 0), 3);
    const auto report = ReadReport(server);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->ends, V4(kLoopback, serverPort, kLoopback, clientPort));

    const auto accepted = WaitForEvent(Kind::kOpened, true, report->ends);
    ASSERT_TRUE(accepted) << "no event for the child's accepted socket";
    EXPECT_EQ(accepted->pid, report->pid);
    EXPECT_EQ(accepted->name, report->name);

    const auto bound = WaitForEvent(Kind::kOpened, true, V4(kLoopback, serverPort, 0, 0));
    ASSERT_TRUE(bound) << "no event for the child's bind";
    EXPECT_EQ(bound->pid, report->pid);

    // Our own end of it, from inside connect().
    const auto connected =
        WaitForEvent(Kind::kOpened, true, V4(kLoopback, clientPort, kLoopback, serverPort));
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->pid, getpid());
    EXPECT_EQ(connected->name, OwnName());
}

TEST_F(KernelSocketEventsTest, UdpSendtoFromAnUnboundSocketOncePerDestination) {
    const UniqueFd first = LoopbackSocket(SOCK_DGRAM);
    const UniqueFd second = LoopbackSocket(SOCK_DGRAM);
    const UniqueFd last = LoopbackSocket(SOCK_DGRAM);
    const std::string firstPort = std::to_string(PortOf(first.get()));
    const std::string secondPort = std::to_string(PortOf(second.get()));
    // Back to the first after the second: each is still reported once.
    test::ChildProcess child(ChildArguments({"udp-sendto", firstPort, firstPort, secondPort,
                                             firstPort, std::to_string(PortOf(last.get()))}));
    ASSERT_GT(child.pid(), 0) << child.error();
    const auto report = ReadReport(child);
    ASSERT_TRUE(report);
    // Unbound: any local address, a port of the kernel's choosing.
    EXPECT_EQ(report->ends.localAddress, IpAddress(0));
    EXPECT_NE(report->ends.localPort, 0);

    const auto sent = WaitForEvent(Kind::kOpened, false, report->ends);
    ASSERT_TRUE(sent) << "no event for the child's sendto";
    EXPECT_EQ(sent->pid, report->pid);
    EXPECT_EQ(sent->name, report->name);

    SocketEndpoints toSecond = report->ends;
    toSecond.remotePort = PortOf(second.get());
    SocketEndpoints toLast = report->ends;
    toLast.remotePort = PortOf(last.get());
    ASSERT_TRUE(WaitForEvent(Kind::kOpened, false, toLast));
    // The last destination's event came after every datagram before it.
    EXPECT_EQ(CountOf(report->pid, false, report->ends), 1);
    EXPECT_EQ(CountOf(report->pid, false, toSecond), 1);
}

TEST_F(KernelSocketEventsTest, ConnectedUdpSocket) {
    const UniqueFd receiver = LoopbackSocket(SOCK_DGRAM);
    test::ChildProcess child(
        ChildArguments({"udp-connect", std::to_string(PortOf(receiver.get()))}));
    ASSERT_GT(child.pid(), 0) << child.error();
    const auto report = ReadReport(child);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->ends.localAddress, IpAddress(kLoopback));  // chosen by the connect

    const auto connected = WaitForEvent(Kind::kOpened, false, report->ends);
    ASSERT_TRUE(connected) << "no event for the child's connect";
    EXPECT_EQ(connected->pid, report->pid);
    EXPECT_EQ(connected->name, report->name);
}

TEST_F(KernelSocketEventsTest, UdpReceiverBindsAndReceives) {
    test::ChildProcess child(ChildArguments({"udp-receive"}));
    ASSERT_GT(child.pid(), 0) << child.error();
    const auto portLine = child.ReadLine(test::kDeadline);
    ASSERT_TRUE(portLine);
    const auto port = static_cast<std::uint16_t>(std::stoi(*portLine));
    const auto bound = WaitForEvent(Kind::kOpened, false, V4(kLoopback, port, 0, 0));
    ASSERT_TRUE(bound) << "no event for the child's bind";
    EXPECT_EQ(bound->pid, child.pid());

    const UniqueFd sender = LoopbackSocket(SOCK_DGRAM);
    const sockaddr_in address = LoopbackAddress(port);
    ASSERT_EQ(sendto(sender.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&address),
                     sizeof(address)),
              1);
    const auto report = ReadReport(child);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->ends, V4(kLoopback, port, kLoopback, PortOf(sender.get())));
    const auto received = WaitForEvent([&](const SocketEvent& event) {
        return event.pid == report->pid && !event.tcp && event.endpoints == report->ends;
    });
    ASSERT_TRUE(received) << "no event for the child's recvfrom";
    EXPECT_EQ(received->name, report->name);
}

TEST_F(KernelSocketEventsTest, Ipv6EndsAsTheyAreAndMappedOnesAsIpv4) {
    // A TCP client over ::1, from its connect to its close.
    const UniqueFd listener = LoopbackSocket(SOCK_STREAM, AF_INET6);
    const std::uint16_t port = PortOf(listener.get());
    test::ChildProcess client(ChildArguments({"tcp6-connect", std::to_string(port)}));
    ASSERT_GT(client.pid(), 0) << client.error();
    const auto report = ReadReport(client);
    ASSERT_TRUE(report);
    ASSERT_TRUE(client.WaitForExit(test::kDeadline));
    const IpAddress loopback6 = *IpAddress::Parse("::1");
    EXPECT_EQ(report->ends, (SocketEndpoints{loopback6, report->ends.localPort, loopback6, port}));
    const auto opened = WaitForEvent(Kind::kOpened, true, report->ends);
    ASSERT_TRUE(opened) << "no event for the child's connect";
    EXPECT_EQ(opened->pid, report->pid);
    EXPECT_EQ(opened->name, report->name);
    UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted.valid()) << std::strerror(errno);
    accepted.Reset();
    const auto closed = WaitForEvent(Kind::kClosed, true, report->ends);
    ASSERT_TRUE(closed) << "no close for the child's connection";
    EXPECT_EQ(closed->pid, report->pid);

    // A dual-stack UDP receiver: bound to :: (told as IPv6), then a datagram of each family.
    test::ChildProcess receiver(ChildArguments({"udp6-dual-receive"}));
    ASSERT_GT(receiver.pid(), 0) << receiver.error();
    const auto portLine = receiver.ReadLine(test::kDeadline);
    ASSERT_TRUE(portLine);
    const auto receiverPort = static_cast<std::uint16_t>(std::stoi(*portLine));
    const IpAddress any6 = *IpAddress::Parse("::");
    const auto bound = WaitForEvent(Kind::kOpened, false, {any6, receiverPort, any6, 0});
    ASSERT_TRUE(bound) << "no event for the child's bind";
    EXPECT_EQ(bound->pid, receiver.pid());

    const UniqueFd sender6 = LoopbackSocket(SOCK_DGRAM, AF_INET6);
    const sockaddr_in6 to6 = Loopback6Address(receiverPort);
    ASSERT_EQ(
        sendto(sender6.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to6), sizeof(to6)), 1);
    const UniqueFd sender4 = LoopbackSocket(SOCK_DGRAM);
    const sockaddr_in to4 = LoopbackAddress(receiverPort);
    ASSERT_EQ(
        sendto(sender4.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to4), sizeof(to4)), 1);
    ASSERT_EQ(receiver.ReadLine(test::kDeadline), "received");
    for (const SocketEndpoints& ends :
         {SocketEndpoints{any6, receiverPort, loopback6, PortOf(sender6.get())},
          V4(0, receiverPort, kLoopback, PortOf(sender4.get()))}) {
        const auto received = WaitForEvent([&](const SocketEvent& event) {
            return event.pid == receiver.pid() && !event.tcp && event.endpoints == ends;
        });
        EXPECT_TRUE(received) << "no event for a datagram to port " << receiverPort
                              << (ends.ipv6() ? " over IPv6" : " over IPv4");
    }
}

// Whether the kernel still knows a program or link by its id.
bool KernelHas(bpf_cmd command, std::uint32_t id) {
    bpf_attr attr{};
    attr.prog_id = id;  // shares its place with link_id
    const UniqueFd fd(static_cast<int>(syscall(SYS_bpf, command, &attr, sizeof(attr))));
    return fd.valid() || errno != ENOENT;
}

bool AllGone(const std::vector<std::uint32_t>& programs, const std::vector<std::uint32_t>& links) {
    return std::none_of(programs.begin(), programs.end(),
                        [](std::uint32_t id) { return KernelHas(BPF_PROG_GET_FD_BY_ID, id); }) &&
           std::none_of(links.begin(), links.end(),
                        [](std::uint32_t id) { return KernelHas(BPF_LINK_GET_FD_BY_ID, id); });
}

TEST_F(KernelSocketEventsTest, NothingStaysAttachedAfterTheSourceGoes) {
    const std::vector<std::uint32_t> programs = events_->programIds();
    const std::vector<std::uint32_t> links = events_->linkIds();
    ASSERT_FALSE(programs.empty());
    ASSERT_EQ(links.size(), programs.size());
    for (std::uint32_t id : programs) EXPECT_TRUE(KernelHas(BPF_PROG_GET_FD_BY_ID, id)) << id;
    for (std::uint32_t id : links) EXPECT_TRUE(KernelHas(BPF_LINK_GET_FD_BY_ID, id)) << id;

    events_.reset();
    // The kernel frees programs after an RCU grace period.
    EXPECT_TRUE(test::WaitUntil([&] { return AllGone(programs, links); }));
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    return write(fd, data, size) == static_cast<ssize_t>(size);
}

TEST_F(KernelSocketEventsTest, NothingStaysAttachedAfterTheLoaderIsKilled) {
    events_.reset();
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t loader = fork();
    ASSERT_GE(loader, 0);
    if (loader == 0) {
        const auto loaded = KernelSocketEvents::Load();
        std::vector<std::uint32_t> ids;
        if (loaded.events) {
            ids = loaded.events->programIds();
            const auto links = loaded.events->linkIds();
            ids.push_back(0);  // separates programs from links
            ids.insert(ids.end(), links.begin(), links.end());
        }
        const auto count = static_cast<std::uint32_t>(ids.size());
        if (!WriteAll(writeEnd.get(), &count, sizeof(count)) ||
            !WriteAll(writeEnd.get(), ids.data(), ids.size() * sizeof(std::uint32_t))) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    writeEnd.Reset();
    std::uint32_t count = 0;
    ASSERT_EQ(read(readEnd.get(), &count, sizeof(count)), static_cast<ssize_t>(sizeof(count)));
    std::vector<std::uint32_t> ids(count);
    const auto bytes = static_cast<ssize_t>(ids.size() * sizeof(std::uint32_t));
    EXPECT_EQ(read(readEnd.get(), ids.data(), static_cast<std::size_t>(bytes)), bytes);
    kill(loader, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(loader, &status, 0), loader);

    const auto separator = std::find(ids.begin(), ids.end(), 0U);
    ASSERT_NE(separator, ids.end()) << "the child could not load";
    const std::vector<std::uint32_t> programs(ids.begin(), separator);
    const std::vector<std::uint32_t> links(separator + 1, ids.end());
    ASSERT_FALSE(programs.empty());
    ASSERT_EQ(links.size(), programs.size());
    EXPECT_TRUE(test::WaitUntil([&] { return AllGone(programs, links); }));
}

// Runs Load in a child whose effective capabilities lack what loading needs; gives the reason.
std::string ReasonWithout(std::initializer_list<int> dropped) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return "pipe2 failed";
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0) _exit(1);
        for (int capability : dropped) {
            data[capability / 32].effective &= ~(1U << (capability % 32));
        }
        if (syscall(SYS_capset, &header, data) != 0) _exit(1);
        const auto loaded = KernelSocketEvents::Load();
        const std::string reason = loaded.events ? "loaded" : loaded.reason;
        _exit(WriteAll(writeEnd.get(), reason.data(), reason.size()) ? 0 : 1);
    }
    writeEnd.Reset();
    std::string reason;
    char chunk[256];
    ssize_t length;
    while ((length = read(readEnd.get(), chunk, sizeof(chunk))) > 0) {
        reason.append(chunk, static_cast<std::size_t>(length));
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child failed";
    return reason;
}

TEST(KernelSocketEventsLoadTest, RefusesWithAReasonWithoutCapBpf) {
    const std::string reason = ReasonWithout({CAP_BPF, CAP_SYS_ADMIN});
    EXPECT_EQ(reason,
              "no permission to load eBPF programs (needs CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN)");
}

TEST(KernelSocketEventsLoadTest, RefusesWithAReasonWithoutCapNetAdmin) {
    const std::string reason = ReasonWithout({CAP_NET_ADMIN, CAP_SYS_ADMIN});
    EXPECT_EQ(reason,
              "no permission to load eBPF programs (needs CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN)");
}

std::vector<std::uint8_t> RecordBytes(const ravelin_socket_event& record) {
    std::vector<std::uint8_t> bytes(sizeof(record));
    std::memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

TEST(SocketEventRecordTest, DecodesARecordAndRejectsWhatIsNotOne) {
    ravelin_socket_event record{};
    record.kind = RAVELIN_SOCKET_CLOSED;
    record.protocol = IPPROTO_UDP;
    record.local_port = 5353;
    record.remote_port = 53;
    record.family = AF_INET;
    record.local_addr[0] = kLoopback;
    record.remote_addr[0] = htonl(0x0A000001);
    record.pid = 4242;
    std::memcpy(record.name, "0123456789abcdef", sizeof(record.name));  // no terminator

    const auto bytes = RecordBytes(record);
    const auto event = DecodeSocketEventRecord(bytes);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->kind, Kind::kClosed);
    EXPECT_FALSE(event->tcp);
    EXPECT_EQ(event->endpoints, V4(kLoopback, 5353, htonl(0x0A000001), 53));
    EXPECT_EQ(event->pid, 4242);
    EXPECT_EQ(event->name, "0123456789abcdef");

    EXPECT_FALSE(DecodeSocketEventRecord(std::span(bytes).first(bytes.size() - 1)));
    record.family = AF_INET6;
    const IpAddress local = *IpAddress::Parse("fe80::1");
    const IpAddress remote = *IpAddress::Parse("2001:db8::53");
    std::memcpy(record.local_addr, local.bytes.data(), 16);
    std::memcpy(record.remote_addr, remote.bytes.data(), 16);
    const auto event6 = DecodeSocketEventRecord(RecordBytes(record));
    ASSERT_TRUE(event6);
    EXPECT_EQ(event6->endpoints, (SocketEndpoints{local, 5353, remote, 53}));
    record.family = 0;
    EXPECT_FALSE(DecodeSocketEventRecord(RecordBytes(record)));
    record.family = AF_INET;
    record.kind = 9;
    EXPECT_FALSE(DecodeSocketEventRecord(RecordBytes(record)));
    record.kind = RAVELIN_SOCKET_OPENED;
    record.protocol = IPPROTO_ICMP;
    EXPECT_FALSE(DecodeSocketEventRecord(RecordBytes(record)));
}

}  // namespace
}  // namespace ravelin
