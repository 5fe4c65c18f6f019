#include "capture/Interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <cstring>

namespace ravelin {

std::vector<InterfaceAddress> ListInterfaces() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        InterfaceAddress item;
        item.name = entry->ifa_name;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        if (family == AF_INET6) {
            sockaddr_in6 address{};
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            item.ipv6 = true;
            std::memcpy(item.address6.data(), &address.sin6_addr, item.address6.size());
            result.push_back(std::move(item));
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        item.address = address.sin_addr.s_addr;
        if (entry->ifa_netmask != nullptr) {
            sockaddr_in netmask{};
            std::memcpy(&netmask, entry->ifa_netmask, sizeof netmask);
            item.netmask = netmask.sin_addr.s_addr;
        }
        result.push_back(std::move(item));
    }
    freeifaddrs(list);
    return result;
}

std::optional<std::string> DeviceForAddress(const IpAddress& chosen,
                                            const std::vector<InterfaceAddress>& interfaces) {
    if (chosen.isAny()) return std::string("any");
    if (chosen.ipv6) {
        for (const auto& item : interfaces) {
            if (item.ipv6 && item.address6 == chosen.bytes) return item.name;
        }
        return std::nullopt;
    }
    const std::uint32_t address = chosen.ipv4();
    for (const auto& item : interfaces) {
        if (!item.ipv6 && item.address == address) return item.name;
    }
    for (const auto& item : interfaces) {
        if (!item.ipv6 && item.loopback &&
            (item.address & item.netmask) == (address & item.netmask)) {
            return item.name;
        }
    }
    return std::nullopt;
}

std::vector<Adapter> ListAdapters() {
    std::vector<Adapter> adapters;
    pcap_if_t* devices = nullptr;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    if (pcap_findalldevs(&devices, errorText) != 0) return adapters;
    for (const pcap_if_t* device = devices; device != nullptr; device = device->next) {
        const bool allInterfaces = std::strcmp(device->name, "any") == 0;
        const sockaddr* ipv4 = nullptr;
        const sockaddr* ipv6 = nullptr;
        for (const pcap_addr_t* entry = device->addresses; entry != nullptr; entry = entry->next) {
            if (entry->addr == nullptr) continue;
            if (entry->addr->sa_family == AF_INET && ipv4 == nullptr) ipv4 = entry->addr;
            if (entry->addr->sa_family == AF_INET6 && ipv6 == nullptr) ipv6 = entry->addr;
        }
        // A device without an address would mean 0.0.0.0, which captures everywhere: only
        // "any" says so.
        if (ipv4 == nullptr && ipv6 == nullptr && !allInterfaces) continue;
        Adapter adapter;
        adapter.label = device->name;
        if (device->description != nullptr && device->description[0] != '\0') {
            adapter.label.append(" (").append(device->description).append(1, ')');
        }
        if (ipv4 != nullptr) {
            sockaddr_in address{};
            std::memcpy(&address, ipv4, sizeof address);
            adapter.address = IpAddress(address.sin_addr.s_addr);
        } else if (ipv6 != nullptr && !allInterfaces) {
            sockaddr_in6 address{};
            std::memcpy(&address, ipv6, sizeof address);
            std::array<std::uint8_t, 16> bytes{};
            std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
            adapter.address = IpAddress::Ipv6(bytes);
        }
        adapters.push_back(std::move(adapter));
    }
    pcap_freealldevs(devices);
    return adapters;
}

namespace {

bool IsLoopback(std::uint32_t networkOrderAddress) {
    return (ntohl(networkOrderAddress) >> 24) == 127;
}

}  // namespace

std::uint32_t ChooseDefaultAddress(const std::vector<InterfaceAddress>& interfaces) {
    for (const auto& item : interfaces) {
        if (!item.ipv6 && item.up && !item.loopback && !IsLoopback(item.address)) {
            return item.address;
        }
    }
    return htonl(INADDR_LOOPBACK);
}

std::uint32_t DefaultCaptureAddress() {
    return ChooseDefaultAddress(ListInterfaces());
}

}  // namespace ravelin
