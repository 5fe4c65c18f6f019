#pragma once

#include <initializer_list>

namespace ravelin {

/// True when the calling thread's effective set holds every one of `capabilities` (CAP_...
/// numbers); false as well when the kernel cannot be asked.
bool HasEffectiveCapabilities(std::initializer_list<int> capabilities);

}  // namespace ravelin
