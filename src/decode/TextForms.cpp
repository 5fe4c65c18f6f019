#include "decode/TextForms.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <iterator>

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

FixedText<46> Ipv6AddressText(const std::array<std::uint8_t, 16>& address) {
    std::array<char, INET6_ADDRSTRLEN> written{};
    FixedText<46> text;
    if (inet_ntop(AF_INET6, address.data(), written.data(), written.size()) != nullptr) {
        text.Append(std::string_view(written.data()));
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

PayloadChar NextPayloadChar(std::span<const std::uint8_t> bytes) {
    const std::uint8_t lead = bytes[0];
    std::size_t length = 0;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    }
    bool valid = length > 0 && bytes.size() >= length;
    for (std::size_t i = 1; valid && i < length; ++i) {
        valid = (bytes[i] & 0xC0) == 0x80;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not valid UTF-8.
    if (valid &&
        ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
         (value >= 0xD800 && value <= 0xDFFF))) {
        valid = false;
    }
    if (valid) return {value, length};
    return {lead == 0 ? U' ' : static_cast<char32_t>(lead), 1};
}

void AppendPayloadText(std::span<const std::uint8_t> payload, std::size_t maxBytes,
                       std::string& out) {
    // Sequences are judged on the whole payload, as the text pane judges them.
    const std::size_t end = std::min(payload.size(), maxBytes);
    for (std::size_t at = 0; at < end;) {
        const PayloadChar next = NextPayloadChar(payload.subspan(at));
        if (at + next.byteCount > end) break;
        at += next.byteCount;
        char32_t c = next.codePoint;
        // A list cell is one line: control characters (C0, DEL, C1) would show as nothing or
        // as a box, so they show as dots, as in a hex dump's text column.
        if ((c < 0x20 && c != ' ') || (c >= 0x7F && c < 0xA0)) c = '.';
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
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

std::string ByteCountText(double bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
        bytes /= 1024;
        ++unit;
    }
    if (unit == 0) return std::to_string(std::llround(bytes)) + " B";
    // Room for the integer digits of any double.
    std::array<char, 400> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), bytes,
                                            std::chars_format::fixed, 1);
    std::string text(digits.data(), error == std::errc() ? end : digits.data());
    // to_chars rounds a tie to even. A double lies halfway between two tenths only at .25 or
    // .75, and only .25 rounds otherwise when rounded half up.
    if (bytes - std::floor(bytes) == 0.25 && !text.empty()) text.back() = '3';
    text += ' ';
    text += kUnits[unit];
    return text;
}

}  // namespace ravelin
