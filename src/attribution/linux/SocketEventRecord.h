#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "attribution/SocketEvents.h"

namespace ravelin {

/// One record of the kernel program's ring buffer as an event; nothing when it is short or not
/// a record the program writes. The capture helper passes the records on unread, so Ravelin
/// reads them as bytes from another process.
std::optional<SocketEvent> DecodeSocketEventRecord(std::span<const std::uint8_t> record);

}  // namespace ravelin
