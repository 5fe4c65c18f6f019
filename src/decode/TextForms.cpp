#include "decode/TextForms.h"

#include <bit>

namespace ravelin {

namespace {

template <std::size_t Capacity>
void AppendDecimal(FixedText<Capacity>& text, std::int64_t value) {
    // Work on the magnitude as unsigned so that the most negative value survives.
    std::uint64_t magnitude = static_cast<std::uint64_t>(value);
    if (value < 0) {
        text.Append('-');
        magnitude = ~magnitude + 1;
    }
    std::array<char, 20> digits{};
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) text.Append(digits[--count]);
}

}  // namespace

FixedText<16> AddressText(std::uint32_t networkOrderAddress) {
    // In network order the first byte in memory is the first octet.
    const auto octets = std::bit_cast<std::array<std::uint8_t, 4>>(networkOrderAddress);
    FixedText<16> text;
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i > 0) text.Append('.');
        AppendDecimal(text, octets[i]);
    }
    return text;
}

FixedText<24> DecimalText(std::int64_t value) {
    FixedText<24> text;
    AppendDecimal(text, value);
    return text;
}

int BlankZeroBytes(std::span<char> text) {
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    return static_cast<int>(text.size());
}

FixedText<12> TimeText(int hour, int minute, int second) {
    FixedText<12> text;
    AppendDecimal(text, hour);
    text.Append(':');
    AppendDecimal(text, minute);
    text.Append(':');
    AppendDecimal(text, second);
    return text;
}

}  // namespace ravelin
