#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ravelin {

/// Bytes as upper-case hex pairs, 16 to a line: each pair is followed by a line feed after every
/// 16th byte and by a space otherwise, so byte i starts at character 3 * i.
std::string HexDump(std::span<const std::uint8_t> bytes);

}  // namespace ravelin
