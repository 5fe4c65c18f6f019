#include "app/Adapters.h"

#include <netinet/in.h>
#include <pcap/pcap.h>

#include <cstring>

namespace ravelin {

std::vector<Adapter> ListAdapters() {
    std::vector<Adapter> adapters;
    pcap_if_t* devices = nullptr;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    if (pcap_findalldevs(&devices, errorText) != 0) return adapters;
    for (const pcap_if_t* device = devices; device != nullptr; device = device->next) {
        const bool allInterfaces = std::strcmp(device->name, "any") == 0;
        const sockaddr* ipv4 = nullptr;
        for (const pcap_addr_t* entry = device->addresses; entry != nullptr; entry = entry->next) {
            if (entry->addr != nullptr && entry->addr->sa_family == AF_INET) {
                ipv4 = entry->addr;
                break;
            }
        }
        // A device without IPv4 would mean 0.0.0.0, which captures everywhere: only "any" says so.
        if (ipv4 == nullptr && !allInterfaces) continue;
        Adapter adapter;
        adapter.label = device->name;
        if (device->description != nullptr && device->description[0] != '\0') {
            adapter.label.append(" (").append(device->description).append(1, ')');
        }
        if (ipv4 != nullptr) {
            sockaddr_in address{};
            std::memcpy(&address, ipv4, sizeof address);
            adapter.address = address.sin_addr.s_addr;
        }
        adapters.push_back(std::move(adapter));
    }
    pcap_freealldevs(devices);
    return adapters;
}

}  // namespace ravelin
