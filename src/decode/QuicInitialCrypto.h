#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "decode/QuicInitial.h"

namespace ravelin {

/// The packet protection of a client's Initial packets.
struct QuicInitialKeys {
    std::array<std::uint8_t, 16> key{};
    std::array<std::uint8_t, 12> iv{};
    std::array<std::uint8_t, 16> headerProtection{};
};

/// Opens client Initial packets with libcrypto: HKDF-SHA256 for the keys, AES-128-ECB for the
/// header protection mask and AES-128-GCM for the payload (RFC 9001 section 5). The algorithms
/// are fetched, and the two cipher contexts made, once, at construction; each packet only keys
/// them, and not even that when its keys are those of the packet before. Used by one thread at
/// a time.
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
    bool contextsReady_ = false;  // both contexts hold their cipher
    // The keys the contexts hold, valid while the flag is set: a packet under other keys keys
    // them anew.
    std::array<std::uint8_t, 16> ecbKey_{};
    std::array<std::uint8_t, 16> gcmKey_{};
    bool ecbKeyed_ = false;
    bool gcmKeyed_ = false;
    std::vector<std::uint8_t> header_;  // the unprotected header: the payload's associated data
};

}  // namespace ravelin
