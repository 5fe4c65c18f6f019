#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ravelin {

/// The largest handshake message Ravelin puts together, its 4-byte header included. ClientHellos
/// with post-quantum key shares take about 2 KiB; anything near this bound is not a browser's.
constexpr std::size_t kMaximumHandshakeMessage = 16384;
/// Handshake type (1 byte) and body length (3 bytes) in front of every handshake message.
constexpr std::size_t kHandshakeHeaderLength = 4;

/// What the HTTP list needs of a TLS ClientHello.
struct ClientHello {
    std::uint16_t legacyVersion = 0;  ///< 0x0301 for TLS 1.0 ... 0x0303 for TLS 1.2 and 1.3
    /// The first host_name of the server_name extension, inside the parsed bytes; nothing when
    /// the ClientHello names no server.
    std::optional<std::string_view> serverName;
};

/// Reads one whole handshake message: its header, then a ClientHello body that fills the
/// message exactly, with every vector length inside its enclosing one (RFC 8446 section 4.1.2,
/// RFC 5246 section 7.4.1.2: extensions may be absent). Nothing for any other message or
/// any inconsistency.
std::optional<ClientHello> ParseClientHello(std::span<const std::uint8_t> message);

/// The body length that a handshake header announces, when `message` holds the header.
std::optional<std::size_t> HandshakeBodyLength(std::span<const std::uint8_t> message);

/// Whether a TCP payload may begin a ClientHello: as much of a handshake record header of SSL 3.0
/// to TLS 1.3 as it holds (one byte at least) and, where it reaches that far, the ClientHello type
/// as the first handshake byte.
bool MayBeginClientHello(std::span<const std::uint8_t> payload);

/// How far the records at the start of a TCP stream go towards a ClientHello.
enum class RecordsProgress : std::uint8_t {
    kIncomplete,  ///< well-formed so far; more of the stream is needed
    kComplete,    ///< `message` holds the whole first handshake message
    kInvalid,     ///< not handshake records, a record length out of range, or a message that
                  ///< is not a ClientHello or longer than kMaximumHandshakeMessage
};

/// Joins the fragments of the first handshake message carried by the TLS records at the start
/// of `stream` (a TCP stream's bytes from a record boundary on) into `message`, which is
/// overwritten. A message may be spread over several records and a record may end within the
/// next TCP segment; whatever follows the message is not looked at.
RecordsProgress JoinHandshakeRecords(std::span<const std::uint8_t> stream,
                                     std::vector<std::uint8_t>& message);

}  // namespace ravelin
