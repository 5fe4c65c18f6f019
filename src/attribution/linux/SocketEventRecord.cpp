#include "attribution/linux/SocketEventRecord.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "attribution/linux/bpf/socket_event_record.h"

namespace ravelin {

// The kernel program asserts the same size, so that padding only one compiler adds fails a build.
static_assert(sizeof(ravelin_socket_event) == 60);

std::optional<SocketEvent> DecodeSocketEventRecord(std::span<const std::uint8_t> record) {
    ravelin_socket_event raw{};
    if (record.size() < sizeof(raw)) return std::nullopt;
    std::memcpy(&raw, record.data(), sizeof(raw));

    SocketEvent event;
    switch (raw.kind) {
        case RAVELIN_SOCKET_OPENED:
            event.kind = SocketEvent::Kind::kOpened;
            break;
        case RAVELIN_SOCKET_CLOSED:
            event.kind = SocketEvent::Kind::kClosed;
            break;
        default:
            return std::nullopt;
    }
    if (raw.protocol != IPPROTO_TCP && raw.protocol != IPPROTO_UDP) return std::nullopt;
    event.tcp = raw.protocol == IPPROTO_TCP;
    if (raw.family == AF_INET) {
        event.endpoints = SocketEndpoints::Ipv4(raw.local_addr[0], raw.local_port,
                                                raw.remote_addr[0], raw.remote_port);
    } else if (raw.family == AF_INET6) {
        event.endpoints.localPort = raw.local_port;
        event.endpoints.remotePort = raw.remote_port;
        event.endpoints.localAddress.ipv6 = event.endpoints.remoteAddress.ipv6 = true;
        std::memcpy(event.endpoints.localAddress.bytes.data(), raw.local_addr, 16);
        std::memcpy(event.endpoints.remoteAddress.bytes.data(), raw.remote_addr, 16);
    } else {
        return std::nullopt;
    }
    event.pid = static_cast<int>(raw.pid);
    // A name of the full length has no terminator.
    const auto* end = static_cast<const char*>(std::memchr(raw.name, '\0', sizeof(raw.name)));
    event.name.assign(raw.name,
                      end != nullptr ? static_cast<std::size_t>(end - raw.name) : sizeof(raw.name));
    return event;
}

}  // namespace ravelin
