#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decode/QuicInitial.h"

namespace ravelin::test {

using Bytes = std::vector<std::uint8_t>;

/// One extension of a ClientHello: its type and its data as sent.
struct TlsExtension {
    std::uint16_t type = 0;
    Bytes data;
};

/// The server_name extension naming one host.
TlsExtension ServerNameExtension(std::string_view host);
/// An extension of `size` bytes of filler, such as a large key share.
TlsExtension FillerExtension(std::uint16_t type, std::size_t size);

/// Builds a ClientHello handshake message, field by field; lengths are computed.
struct ClientHelloBuilder {
    std::uint16_t legacyVersion = 0x0303;
    Bytes sessionId = Bytes(32, 0x5A);
    Bytes cipherSuites = {0x13, 0x01, 0x13, 0x02, 0xC0, 0x2F};
    Bytes compressionMethods = {0x00};
    /// Nothing: the ClientHello ends after the compression methods (TLS 1.0 and 1.1 allow it).
    std::optional<std::vector<TlsExtension>> extensions = std::vector<TlsExtension>{};

    /// A TLS 1.3 ClientHello like a browser's, naming `host` unless it is empty.
    static ClientHelloBuilder Modern(std::string_view host, std::size_t keyShareSize = 36);

    Bytes Build() const;
};

/// The message cut into handshake records of at most `fragment` bytes each.
Bytes HandshakeRecords(std::span<const std::uint8_t> message, std::size_t fragment = 16384,
                       std::uint16_t recordVersion = 0x0301);

/// A CRYPTO frame carrying `data` at `offset` of the handshake stream.
Bytes CryptoFrame(std::uint64_t offset, std::span<const std::uint8_t> data);

/// A client Initial packet as a client's QUIC stack sends it: long header with a four-byte
/// packet number, `frames` followed by PADDING up to `packetSize` bytes, sealed with AES-128-GCM
/// under the Initial keys of `destinationId`, then header protection. The keys come from
/// QuicInitialCrypto (checked against the RFCs' values on their own); the sealing is libcrypto's.
Bytes SealClientInitial(QuicVersion version, std::span<const std::uint8_t> destinationId,
                        std::span<const std::uint8_t> sourceId,
                        std::span<const std::uint8_t> frames, std::uint32_t packetNumber,
                        std::size_t packetSize = 1200);

/// Hex text without separators to bytes (fixtures only; aborts on a bad digit).
Bytes FromHex(std::string_view hex);

}  // namespace ravelin::test
