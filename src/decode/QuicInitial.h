#pragma once

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
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

/// The packet protection of a client's Initial packets.
struct QuicInitialKeys {
    std::array<std::uint8_t, 16> key{};
    std::array<std::uint8_t, 12> iv{};
    std::array<std::uint8_t, 16> headerProtection{};
};

/// Data of one CRYPTO frame: where it belongs in the handshake stream, and the bytes.
struct CryptoFragment {
    std::uint64_t offset = 0;
    std::span<const std::uint8_t> data;  ///< inside the plaintext it was read from
};

/// Opens client Initial packets with libcrypto: HKDF-SHA256 for the keys, AES-128-ECB for the
/// header protection mask and AES-128-GCM for the payload (RFC 9001 section 5). The algorithms
/// are fetched once, at construction. Used by one thread at a time.
///
/// HKDF is written out here as HMAC-SHA256 on SHA-256 digest contexts rather than taken from
/// libcrypto's HKDF: every secret and key is at most one digest long, so each Expand is a
/// single HMAC, and libcrypto's HKDF spent several times the hashing on setting itself up at
/// every call.
class QuicInitialCrypto {
public:
    QuicInitialCrypto();
    ~QuicInitialCrypto();
    QuicInitialCrypto(const QuicInitialCrypto&) = delete;
    QuicInitialCrypto& operator=(const QuicInitialCrypto&) = delete;

    /// False when libcrypto lacks one of the algorithms: then nothing opens.
    bool valid() const;

    /// The client's Initial keys for the destination connection id it chose first.
    bool DeriveClientKeys(QuicVersion version, std::span<const std::uint8_t> destinationId,
                          QuicInitialKeys& keys);

    /// The first five bytes of AES-128-ECB(hp, sample): the header protection mask.
    bool HeaderProtectionMask(const QuicInitialKeys& keys, std::span<const std::uint8_t> sample,
                              std::array<std::uint8_t, 5>& mask);

    /// Removes the header protection and decrypts the payload into `plaintext`; false when the
    /// packet is too short or does not authenticate under these keys (a server's Initial, a
    /// later client Initial sent to the server's connection id, or damage). `packetNumber`, when
    /// given, receives the packet number as sent (truncated).
    bool Open(const QuicInitialHeader& header, const QuicInitialKeys& keys,
              std::vector<std::uint8_t>& plaintext, std::uint64_t* packetNumber = nullptr);

private:
    struct DigestDeleter {
        void operator()(EVP_MD* digest) const;
    };
    struct DigestContextDeleter {
        void operator()(EVP_MD_CTX* context) const;
    };
    struct CipherDeleter {
        void operator()(EVP_CIPHER* cipher) const;
    };
    struct CipherContextDeleter {
        void operator()(EVP_CIPHER_CTX* context) const;
    };
    using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

    /// HMAC-SHA256 under one key: the inner and outer digests with the key's padded block
    /// already hashed, so a message costs only its own blocks and the outer one.
    struct KeyedHmac {
        DigestContext inner;
        DigestContext outer;
    };

    bool SetKey(KeyedHmac& hmac, std::span<const std::uint8_t> key);
    /// Finishes the MAC of `message` on `hmac`'s contexts themselves, which it uses up.
    static bool Finish(KeyedHmac& hmac, std::span<const std::uint8_t> message,
                       std::span<std::uint8_t> out);
    /// The MAC of `message` on copies of `hmac`'s contexts, which stay keyed for the next one.
    bool Mac(const KeyedHmac& hmac, std::span<const std::uint8_t> message,
             std::span<std::uint8_t> out);
    /// HKDF-Expand-Label of TLS 1.3 (RFC 8446 section 7.1), empty context, for an output of at
    /// most one digest. `consume` lets it use up `secret`'s contexts.
    bool ExpandLabel(KeyedHmac& secret, std::string_view label, std::span<std::uint8_t> out,
                     bool consume);

    std::unique_ptr<EVP_MD, DigestDeleter> sha256_;
    // HKDF-Extract's key is the version's salt: keyed once, here, for all connections.
    KeyedHmac saltV1_;
    KeyedHmac saltV2_;
    KeyedHmac secret_;   // keyed with the connection's Initial secret, then its client secret
    KeyedHmac working_;  // the copies Mac finishes
    std::unique_ptr<EVP_CIPHER, CipherDeleter> ecb_;
    std::unique_ptr<EVP_CIPHER, CipherDeleter> gcm_;
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ecbContext_;
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> gcmContext_;
    std::vector<std::uint8_t> header_;  // the unprotected header: the payload's associated data
};

/// Reads the frames of an opened Initial packet. Only PADDING, PING, ACK, CRYPTO and
/// CONNECTION_CLOSE may appear there (RFC 9000 section 12.4): any other frame, or one that does
/// not fit, makes the packet invalid and gives false. `fragments` receives the CRYPTO frames'
/// data, in the packet's order.
bool ReadInitialFrames(std::span<const std::uint8_t> plaintext,
                       std::vector<CryptoFragment>& fragments);

}  // namespace ravelin
