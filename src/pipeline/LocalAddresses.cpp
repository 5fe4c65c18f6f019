#include "pipeline/LocalAddresses.h"

namespace ravelin {

bool LocalAddresses::Contains(std::uint32_t address, Clock::time_point now) {
    if (!listedAt_ || now - *listedAt_ >= refreshPeriod_) {
        interfaces_ = lister_();
        listedAt_ = now;
    }
    for (const InterfaceAddress& item : interfaces_) {
        if (item.address == address) return true;
        if (item.loopback && (item.address & item.netmask) == (address & item.netmask)) {
            return true;
        }
    }
    return false;
}

}  // namespace ravelin
