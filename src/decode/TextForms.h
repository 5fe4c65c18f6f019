#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ravelin {

/// A short text in a fixed buffer, for the column texts of one packet: no heap use.
template <std::size_t Capacity>
class FixedText {
public:
    std::string_view view() const { return {chars_.data(), length_}; }
    operator std::string_view() const { return view(); }  // NOLINT: used like a string
    std::size_t size() const { return length_; }

    void Append(char c) {
        if (length_ + 1 < Capacity) chars_[length_++] = c;
    }
    void Append(std::string_view text) {
        for (char c : text) Append(c);
    }

private:
    std::array<char, Capacity> chars_{};
    std::size_t length_ = 0;
};

/// Dotted decimal text of an IPv4 address held in network byte order (at most 15 characters).
FixedText<16> AddressText(std::uint32_t networkOrderAddress);

/// The standard compressed text of an IPv6 address (RFC 5952, as inet_ntop writes it: at most
/// 45 characters, an IPv4-mapped address with its IPv4 part dotted).
FixedText<46> Ipv6AddressText(const std::array<std::uint8_t, 16>& address);

/// Decimal text ("%d") of a port, a length or a serial number.
FixedText<24> DecimalText(std::int64_t value);

/// Replaces every zero byte with a space so that payload bytes can be shown as text; all other
/// bytes, control characters included, stay. Returns the count, or 0 for an empty span.
int BlankZeroBytes(std::span<char> text);

/// One character of payload bytes shown as text, and how many bytes it stands for.
struct PayloadChar {
    char32_t codePoint = 0;
    std::size_t byteCount = 1;
};

/// The character at the start of `bytes` (not empty), as the text pane and the packet list show
/// payloads: a valid UTF-8 sequence is its character; every other byte is one character of its
/// own, the one with the byte's number (Latin-1), and a zero byte is a space. So no byte is
/// lost or shown as a replacement character, and each character maps to known bytes.
PayloadChar NextPayloadChar(std::span<const std::uint8_t> bytes);

/// Appends, as UTF-8, the characters of at most the first `maxBytes` payload bytes (see
/// NextPayloadChar), control characters as dots, for a one-line cell. A character whose bytes
/// go on past `maxBytes` is left out rather than shown as other characters than the text pane
/// shows.
void AppendPayloadText(std::span<const std::uint8_t> payload, std::size_t maxBytes,
                       std::string& out);

/// The time column's text: hour, minute and second without leading zeros ("%d:%d:%d").
FixedText<12> TimeText(int hour, int minute, int second);

/// A count of bytes in binary units, as traffic is counted: whole bytes below 1024 ("0 B",
/// "1023 B"), else one decimal, rounded half up, in the largest unit up to TiB that keeps the
/// number at least 1 ("1.5 KiB", "2.0 GiB").
std::string ByteCountText(double bytes);

}  // namespace ravelin
