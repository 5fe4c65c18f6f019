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

/// A network adapter as the adapter list shows it.
struct Adapter {
    /// The interface name, followed by the description where the system gives one (Linux
    /// interfaces mostly have none).
    std::string label;
    std::uint32_t address = 0;  ///< its first IPv4 address, network byte order
};

/// The adapters that capture can listen on, in the order the system lists them: each interface
/// with an IPv4 address, with its first one, and the pseudo-device that captures on all
/// interfaces (0.0.0.0). Empty when the list cannot be had.
std::vector<Adapter> ListAdapters();

/// The address capture listens on until the user picks another, from the interfaces alone (no
/// name is resolved, which can hang for seconds without a network): the first non-loopback
/// address of an interface that is up, else 127.0.0.1.
std::uint32_t ChooseDefaultAddress(const std::vector<InterfaceAddress>& interfaces);

/// ChooseDefaultAddress for this machine.
std::uint32_t DefaultCaptureAddress();

}  // namespace ravelin
