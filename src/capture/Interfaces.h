#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ravelin {

/// One IPv4 address of a network interface.
struct InterfaceAddress {
    std::string name;
    std::uint32_t address = 0;  ///< network byte order
    std::uint32_t netmask = 0;  ///< network byte order
    bool loopback = false;
    bool up = false;
};

/// The IPv4 addresses of this machine's interfaces, in the order the system lists them.
std::vector<InterfaceAddress> ListIpv4Interfaces();

/// The capture device for an address: "any" for 0.0.0.0, the interface that has the address,
/// or a loopback interface whose network holds it (127.0.1.1 is local although only 127.0.0.1
/// is configured). Nothing when no interface carries the address.
std::optional<std::string> DeviceForAddress(std::uint32_t address,
                                            const std::vector<InterfaceAddress>& interfaces);

}  // namespace ravelin
