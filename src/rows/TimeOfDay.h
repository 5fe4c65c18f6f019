#pragma once

#include <cstdint>

namespace ravelin {

/// A local time of day, as the lists' time columns show it.
struct TimeOfDay {
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
};

}  // namespace ravelin
