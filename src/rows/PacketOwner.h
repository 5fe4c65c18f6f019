#pragma once

namespace ravelin {

/// The process id of a packet whose owner is unknown, was not looked up, or that is neither
/// TCP nor UDP.
constexpr int kNoOwner = -1;

}  // namespace ravelin
