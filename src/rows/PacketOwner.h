#pragma once

#include <string_view>

namespace ravelin {

/// The process id of a packet whose owner is unknown, was not looked up, or that is neither
/// TCP nor UDP.
constexpr int kNoOwner = -1;

/// The process a listed packet belongs to.
struct PacketOwner {
    int pid = kNoOwner;
    std::string_view name;  ///< its image name where known
};

}  // namespace ravelin
