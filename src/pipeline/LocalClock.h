#pragma once

#include <cstdint>

#include "rows/TimeOfDay.h"

namespace ravelin {

/// Turns capture time stamps into local time of day. Consecutive packets mostly share their
/// second, so the last conversion is kept; one instance per thread.
class LocalClock {
public:
    TimeOfDay ToLocal(std::int64_t unixSeconds);

private:
    std::int64_t cachedSeconds_ = -1;
    TimeOfDay cached_;
};

}  // namespace ravelin
