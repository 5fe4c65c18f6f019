#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "capture/Interfaces.h"

namespace ravelin {

/// This host's addresses, for the direction of packets captured on all interfaces (bound
/// address 0.0.0.0 or ::) and of those of the bound address's other family: every address of
/// a local interface, and the whole network of an IPv4 loopback interface (Linux answers for
/// all of 127.0.0.0/8 on lo). IPv6 privacy addresses come and go like any other.
///
/// Interfaces gain and lose addresses (DHCP, VPNs), so the list is read again when it is older
/// than the refresh period at a look, never more often. Used by one thread at a time.
class LocalAddresses {
public:
    using Lister = std::function<std::vector<InterfaceAddress>()>;
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kRefreshPeriod = std::chrono::seconds(1);

    /// `lister` gives the interfaces: this host's by default, a fixed list in tests.
    explicit LocalAddresses(Lister lister = ListInterfaces,
                            Clock::duration refreshPeriod = kRefreshPeriod)
        : lister_(std::move(lister)), refreshPeriod_(refreshPeriod) {}

    /// Whether the address (network byte order) is this host's, as of `now`.
    bool Contains(std::uint32_t address, Clock::time_point now);
    bool ContainsIpv6(const std::array<std::uint8_t, 16>& address, Clock::time_point now);

private:
    void Refresh(Clock::time_point now);

    Lister lister_;
    Clock::duration refreshPeriod_;
    std::optional<Clock::time_point> listedAt_;
    std::vector<InterfaceAddress> interfaces_;
};

}  // namespace ravelin
