#include "pipeline/LocalAddresses.h"

namespace ravelin {

void LocalAddresses::Refresh(Clock::time_point now) {
    if (!listedAt_ || now - *listedAt_ >= refreshPeriod_) {
        interfaces_ = lister_();
        listedAt_ = now;
    }
}

bool LocalAddresses::Contains(std::uint32_t address, Clock::time_point now) {
    Refresh(now);
    for (const InterfaceAddress& item : interfaces_) {
        if (item.ipv6) continue;
        if (item.address == address) return true;
        if (item.loopback && (item.address & item.netmask) == (address & item.netmask)) {
            return true;
        }
    }
    return false;
}

bool LocalAddresses::ContainsIpv6(const std::array<std::uint8_t, 16>& address,
                                  Clock::time_point now) {
    Refresh(now);
    for (const InterfaceAddress& item : interfaces_) {
        if (item.ipv6 && item.address6 == address) return true;
    }
    return false;
}

}  // namespace ravelin
