#include "output/HexDump.h"

#include <cstddef>

namespace ravelin {

std::string HexDump(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        text += kDigits[bytes[index] >> 4];
        text += kDigits[bytes[index] & 0x0F];
        text += (index + 1) % 16 == 0 ? '\n' : ' ';
    }
    return text;
}

}  // namespace ravelin
