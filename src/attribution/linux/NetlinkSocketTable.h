#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "attribution/SocketTable.h"
#include "attribution/linux/SockDiagMessages.h"
#include "base/CheckCall.h"
#include "base/UniqueFd.h"

namespace ravelin {

/// The kernel's socket tables read over NETLINK_SOCK_DIAG (sock_diag(7)).
///
/// One user at a time: an object keeps one netlink socket and one receive buffer, so calls
/// must not overlap. Separate objects are independent.
class NetlinkSocketTable : public SocketTable {
public:
    /// Start size of the receive buffer: the kernel fills dump datagrams up to 32 KiB.
    static constexpr std::size_t kInitialBufferBytes = std::size_t{32} * 1024;

    NetlinkSocketTable();

    /// Opens the netlink socket and proves with two empty dumps (TCP and UDP) that the kernel
    /// answers for both protocols.
    CallResult Open();
    /// The steps of Open, for start-up to check one by one: the socket, then a TCP and a UDP
    /// request.
    CallResult OpenSocket();
    CallResult ProbeTcp();
    CallResult ProbeUdp();
    /// The last failure of Open or of a table read.
    const SystemError& lastError() const { return lastError_; }

    /// An exact lookup: IPv4 ends as an IPv4 socket and then as an IPv6 socket with
    /// IPv4-mapped ends (the accepted side of a dual-stack listener), IPv6 ends as an IPv6
    /// socket. A socket in TIME_WAIT or SYN_RECV has no file and gives 0; a listener is never
    /// returned.
    std::optional<std::uint64_t> FindTcpConnection(const SocketEndpoints& endpoints) override;
    /// These replace the contents of `rows`.
    bool ListTcpSockets(std::vector<SocketRow>& rows) override;
    bool ListTcpListeners(std::vector<SocketRow>& rows) override;
    bool ListUdpSockets(std::vector<SocketRow>& rows) override;

private:
    enum class Outcome { kAnswered, kNotFound, kFailed };
    struct Request;  // a netlink header and an inet_diag_req_v2

    Outcome Exchange(Request& request);
    bool Dump(std::uint8_t family, std::uint8_t protocol, std::uint32_t states);
    bool ListRows(std::uint8_t protocol, std::uint32_t states, std::vector<SocketRow>& rows);
    std::optional<std::uint64_t> LookUp(std::uint8_t family, const SocketEndpoints& endpoints);
    Outcome Fail(int code);

    UniqueFd fd_;
    std::vector<std::uint8_t> buffer_;
    std::vector<DiagSocket> sockets_;  // the answer to the last request
    std::uint32_t sequence_ = 0;
    SystemError lastError_;
};

}  // namespace ravelin
