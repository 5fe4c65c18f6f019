#include "capture/Interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace ravelin {

std::vector<InterfaceAddress> ListIpv4Interfaces() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress item;
        item.name = entry->ifa_name;
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        item.address = address.sin_addr.s_addr;
        if (entry->ifa_netmask != nullptr) {
            sockaddr_in netmask{};
            std::memcpy(&netmask, entry->ifa_netmask, sizeof netmask);
            item.netmask = netmask.sin_addr.s_addr;
        }
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        result.push_back(std::move(item));
    }
    freeifaddrs(list);
    return result;
}

std::optional<std::string> DeviceForAddress(std::uint32_t address,
                                            const std::vector<InterfaceAddress>& interfaces) {
    if (address == 0) return std::string("any");
    for (const auto& item : interfaces) {
        if (item.address == address) return item.name;
    }
    for (const auto& item : interfaces) {
        if (item.loopback && (item.address & item.netmask) == (address & item.netmask)) {
            return item.name;
        }
    }
    return std::nullopt;
}

}  // namespace ravelin
