#pragma once

#include <string>

#include "base/CheckCall.h"
#include "rows/CaptureLists.h"

namespace ravelin {

/// Writes every listed packet, in order, as a pcapng file at `path` (made with mode 0644, or
/// emptied): each packet with its owner's comment where the owner was known. A failed save
/// removes the file again.
CallResult SaveCapture(const std::string& path, CaptureLists& lists);

}  // namespace ravelin
