#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ravelin {

/// The QUIC versions whose client Initial packets can be opened: their Initial keys come from a
/// salt and labels that are public (RFC 9001 section 5.2, RFC 9369 section 3.3).
enum class QuicVersion : std::uint8_t { kVersion1, kVersion2 };

/// A client sends its first flight in UDP datagrams of at least this size (RFC 9000 section
/// 14.1); a server drops smaller ones, so they begin no connection.
constexpr std::size_t kMinimumInitialDatagram = 1200;

/// An Initial packet's long header, read before anything is decrypted.
struct QuicInitialHeader {
    QuicVersion version = QuicVersion::kVersion1;
    std::span<const std::uint8_t> destinationId;  ///< inside the datagram, at most 20 bytes
    std::span<const std::uint8_t> packet;         ///< the whole packet, header to tag
    std::size_t packetNumberOffset = 0;           ///< where the packet number lies in `packet`
};

/// Walks the long-header packets coalesced in one UDP payload (RFC 9000 section 12.2) and hands
/// out the Initial packets of versions 1 and 2 among them, in order. The walk ends at a short
/// header, a Version Negotiation or Retry packet, a version it does not know (whose layout it
/// cannot know either), or a length that does not fit the datagram.
class QuicInitialPackets {
public:
    explicit QuicInitialPackets(std::span<const std::uint8_t> payload) : payload_(payload) {}

    /// The next Initial packet, or nothing at the end of the walk.
    std::optional<QuicInitialHeader> Next();

private:
    std::span<const std::uint8_t> payload_;
    std::size_t at_ = 0;
};

/// Data of one CRYPTO frame: where it belongs in the handshake stream, and the bytes.
struct CryptoFragment {
    std::uint64_t offset = 0;
    std::span<const std::uint8_t> data;  ///< inside the plaintext it was read from
};

/// Reads the frames of an opened Initial packet. Only PADDING, PING, ACK, CRYPTO and
/// CONNECTION_CLOSE may appear there (RFC 9000 section 12.4): any other frame, or one that does
/// not fit, makes the packet invalid and gives false. `fragments` receives the CRYPTO frames'
/// data, in the packet's order.
bool ReadInitialFrames(std::span<const std::uint8_t> plaintext,
                       std::vector<CryptoFragment>& fragments);

}  // namespace ravelin
