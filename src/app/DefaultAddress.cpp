#include "app/DefaultAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace ravelin {

namespace {

bool IsLoopback(std::uint32_t networkOrderAddress) {
    return (ntohl(networkOrderAddress) >> 24) == 127;
}

}  // namespace

std::uint32_t ChooseDefaultAddress(std::optional<std::uint32_t> hostNameAddress,
                                   const std::vector<InterfaceAddress>& interfaces) {
    if (hostNameAddress && !IsLoopback(*hostNameAddress)) return *hostNameAddress;
    for (const auto& item : interfaces) {
        if (!item.loopback && !IsLoopback(item.address)) return item.address;
    }
    if (hostNameAddress) return *hostNameAddress;
    return htonl(INADDR_LOOPBACK);
}

std::optional<std::uint32_t> ResolveHostNameAddress() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* results = nullptr;
    if (getaddrinfo(name.data(), nullptr, &hints, &results) != 0) return std::nullopt;
    std::optional<std::uint32_t> address;
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
        address = ipv4.sin_addr.s_addr;
        break;
    }
    freeaddrinfo(results);
    return address;
}

std::uint32_t DefaultCaptureAddress() {
    return ChooseDefaultAddress(ResolveHostNameAddress(), ListIpv4Interfaces());
}

}  // namespace ravelin
