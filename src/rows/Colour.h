#pragma once

#include <cstdint>

namespace ravelin {

/// A colour as 0x00BBGGRR: red in the low byte.
using Colour = std::uint32_t;

constexpr Colour RgbColour(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return Colour{red} | (Colour{green} << 8) | (Colour{blue} << 16);
}
constexpr std::uint8_t RedOf(Colour colour) {
    return colour & 0xFF;
}
constexpr std::uint8_t GreenOf(Colour colour) {
    return (colour >> 8) & 0xFF;
}
constexpr std::uint8_t BlueOf(Colour colour) {
    return (colour >> 16) & 0xFF;
}

/// Background of the window, the lists, the tree and the panes; default colour of HTTP rows.
constexpr Colour kBackgroundColour = 0x00CDEDE3;
/// Packet sent from the bound address.
constexpr Colour kSentColour = 0x00AED8EE;
/// Packet from any other source.
constexpr Colour kReceivedColour = 0x00FFE1CA;

}  // namespace ravelin
