#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "decode/IpAddress.h"

namespace ravelin {

/// One IPv4 or IPv6 address of a network interface.
struct InterfaceAddress {
    std::string name;
    std::uint32_t address = 0;  ///< IPv4, network byte order; 0 for an IPv6 address
    std::uint32_t netmask = 0;  ///< network byte order
    bool loopback = false;
    bool up = false;
    bool ipv6 = false;
    std::array<std::uint8_t, 16> address6{};  ///< the IPv6 address, when ipv6
};

/// The IPv4 and IPv6 addresses of this machine's interfaces, in the order the system lists
/// them; temporary (privacy) IPv6 addresses among them, as long as they last.
std::vector<InterfaceAddress> ListInterfaces();

/// The capture device for an address: "any" for 0.0.0.0 and ::, the interface that has the
/// address, or a loopback interface whose network holds an IPv4 one (127.0.1.1 is local
/// although only 127.0.0.1 is configured). Nothing when no interface carries the address.
std::optional<std::string> DeviceForAddress(const IpAddress& address,
                                            const std::vector<InterfaceAddress>& interfaces);

/// A network adapter as the adapter list shows it.
struct Adapter {
    /// The interface name, followed by the description where the system gives one (Linux
    /// interfaces mostly have none).
    std::string label;
    IpAddress address;  ///< its first IPv4 address, else its first IPv6 one
};

/// The adapters that capture can listen on, in the order the system lists them: each interface
/// with an IP address, with its first IPv4 one where it has one, and the pseudo-device that
/// captures on all interfaces (0.0.0.0). Empty when the list cannot be had.
std::vector<Adapter> ListAdapters();

/// The address capture listens on until the user picks another, from the interfaces alone (no
/// name is resolved, which can hang for seconds without a network): the first non-loopback
/// address of an interface that is up, else 127.0.0.1.
std::uint32_t ChooseDefaultAddress(const std::vector<InterfaceAddress>& interfaces);

/// ChooseDefaultAddress for this machine.
std::uint32_t DefaultCaptureAddress();

}  // namespace ravelin
