#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ravelin {

/// An IPv6 header with its chain of extension headers walked to the upper protocol. Fields hold
/// what the datagram says; the walk never reads past the captured bytes or the payload length.
struct Ipv6Header {
    static constexpr std::size_t kFixedLength = 40;
    /// More extension headers than this end the walk at the next one: no datagram needs them,
    /// and a chain of tiny headers must not cost a walk per byte.
    static constexpr int kMaximumExtensionHeaders = 8;

    std::array<std::uint8_t, 16> sourceAddress{};  ///< as on the wire
    std::array<std::uint8_t, 16> destinationAddress{};
    std::uint16_t payloadLength = 0;
    /// The upper protocol (TCP, UDP, ICMPv6, ...), that of the header the walk stopped at, or
    /// for a later fragment the protocol its Fragment header names.
    std::uint8_t protocol = 0;
    /// Where the bytes after the walked headers begin, counted from the datagram's first byte.
    std::size_t upperOffset = kFixedLength;
    /// Where the datagram ends: the payload length's end within the captured bytes, or the last
    /// captured byte where the length is 0 (a jumbogram, or a segment before offload cut it).
    std::size_t end = kFixedLength;
    /// The walk stopped at an extension header it could not pass (cut short, or one too many):
    /// what follows is not the upper protocol's header.
    bool stopped = false;
    /// From a Fragment header, in units of 8 bytes.
    std::uint16_t fragmentOffset = 0;

    /// Reads the header and walks the chain; false for fewer than 40 bytes or another version.
    bool Parse(std::span<const std::uint8_t> datagram);

    /// A fragment after the first: its bytes carry on the payload where the one before stopped,
    /// so they begin with no transport header.
    bool isLaterFragment() const { return fragmentOffset != 0; }
    /// Whether the bytes at upperOffset begin with the upper protocol's header.
    bool hasUpperHeader() const { return !stopped && !isLaterFragment(); }
};

}  // namespace ravelin
