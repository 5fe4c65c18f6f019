#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "decode/TextForms.h"

namespace ravelin {

/// An IPv4 or an IPv6 address, as on the wire: an IPv4 address in the first four bytes.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    bool ipv6 = false;

    IpAddress() = default;
    /// An IPv4 address in network byte order, as IPv4 addresses are held everywhere else.
    IpAddress(std::uint32_t ipv4NetworkOrder) {  // implicit: as IPv4 was held before IPv6
        std::memcpy(bytes.data(), &ipv4NetworkOrder, sizeof ipv4NetworkOrder);
    }
    static IpAddress Ipv6(const std::array<std::uint8_t, 16>& bytes) {
        IpAddress address;
        address.bytes = bytes;
        address.ipv6 = true;
        return address;
    }
    /// Dotted decimal or the standard compressed IPv6 text; nothing for anything else.
    static std::optional<IpAddress> Parse(std::string_view text);

    /// The IPv4 address in network byte order; 0 for an IPv6 address.
    std::uint32_t ipv4() const {
        if (ipv6) return 0;
        std::uint32_t networkOrder = 0;
        std::memcpy(&networkOrder, bytes.data(), sizeof networkOrder);
        return networkOrder;
    }
    /// 0.0.0.0 or ::, capture on every interface.
    bool isAny() const { return bytes == std::array<std::uint8_t, 16>{}; }
    FixedText<46> text() const;

    bool operator==(const IpAddress&) const = default;
};

}  // namespace ravelin
