#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/Interfaces.h"

namespace ravelin {

/// The address capture listens on until the user picks another: the host name's first IPv4
/// address. Debian maps the host name to 127.0.1.1, which sees only this host's own loopback
/// traffic, so where the name resolves to a loopback address and an interface has a
/// non-loopback IPv4 address, the first such address is taken instead. Without any, 127.0.0.1.
std::uint32_t ChooseDefaultAddress(std::optional<std::uint32_t> hostNameAddress,
                                   const std::vector<InterfaceAddress>& interfaces);

/// The first IPv4 address that this host's name resolves to.
std::optional<std::uint32_t> ResolveHostNameAddress();

/// ChooseDefaultAddress for this machine.
std::uint32_t DefaultCaptureAddress();

}  // namespace ravelin
