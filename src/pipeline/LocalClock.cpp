#include "pipeline/LocalClock.h"

#include <ctime>

namespace ravelin {

TimeOfDay LocalClock::ToLocal(std::int64_t unixSeconds) {
    if (unixSeconds != cachedSeconds_) {
        const auto seconds = static_cast<std::time_t>(unixSeconds);
        std::tm local{};
        if (localtime_r(&seconds, &local) != nullptr) {
            cached_ = {static_cast<std::uint8_t>(local.tm_hour),
                       static_cast<std::uint8_t>(local.tm_min),
                       static_cast<std::uint8_t>(local.tm_sec)};
        } else {
            cached_ = {};
        }
        cachedSeconds_ = unixSeconds;
    }
    return cached_;
}

}  // namespace ravelin
