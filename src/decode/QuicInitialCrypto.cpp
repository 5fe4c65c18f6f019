#include "decode/QuicInitialCrypto.h"

#include <openssl/evp.h>

#include <algorithm>

namespace ravelin {

namespace {

constexpr std::size_t kSampleLength = 16;
constexpr std::size_t kTagLength = 16;
constexpr std::size_t kSecretLength = 32;  // SHA-256
constexpr std::size_t kHmacBlock = 64;     // SHA-256's block: HMAC pads its key to it

constexpr std::uint8_t kSaltV1[] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                    0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr std::uint8_t kSaltV2[] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                                    0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};

}  // namespace

void QuicInitialCrypto::DigestDeleter::operator()(EVP_MD* digest) const {
    EVP_MD_free(digest);
}
void QuicInitialCrypto::DigestContextDeleter::operator()(EVP_MD_CTX* context) const {
    EVP_MD_CTX_free(context);
}
void QuicInitialCrypto::CipherDeleter::operator()(EVP_CIPHER* cipher) const {
    EVP_CIPHER_free(cipher);
}
void QuicInitialCrypto::CipherContextDeleter::operator()(EVP_CIPHER_CTX* context) const {
    EVP_CIPHER_CTX_free(context);
}

// Fetched explicitly once: libcrypto 3 would otherwise look each algorithm up at every use.
QuicInitialCrypto::QuicInitialCrypto()
    : sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      ecb_(EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr)),
      gcm_(EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr)),
      ecbContext_(EVP_CIPHER_CTX_new()),
      gcmContext_(EVP_CIPHER_CTX_new()) {
    for (KeyedHmac* hmac : {&saltV1_, &saltV2_, &secret_, &working_}) {
        hmac->inner.reset(EVP_MD_CTX_new());
        hmac->outer.reset(EVP_MD_CTX_new());
    }
    if (!SetKey(saltV1_, kSaltV1) || !SetKey(saltV2_, kSaltV2)) sha256_.reset();
    // Given its cipher once, a context is keyed for each packet without being set up again:
    // libcrypto 3.0 frees and allocates a context's state whenever an init names a cipher.
    // Header protection encrypts whole blocks, so no padding.
    contextsReady_ =
        ecb_ && gcm_ && ecbContext_ && gcmContext_ &&
        EVP_EncryptInit_ex2(ecbContext_.get(), ecb_.get(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(ecbContext_.get(), 0) == 1 &&
        EVP_DecryptInit_ex2(gcmContext_.get(), gcm_.get(), nullptr, nullptr, nullptr) == 1;
}

QuicInitialCrypto::~QuicInitialCrypto() = default;

bool QuicInitialCrypto::valid() const {
    return sha256_ && secret_.inner && secret_.outer && working_.inner && working_.outer &&
           contextsReady_;
}

bool QuicInitialCrypto::SetKey(KeyedHmac& hmac, std::span<const std::uint8_t> key) {
    // Longer keys would be hashed first; no key here is longer than a digest.
    if (!sha256_ || !hmac.inner || !hmac.outer || key.size() > kHmacBlock) return false;
    constexpr std::uint8_t kInnerPad = 0x36;
    constexpr std::uint8_t kOuterPad = 0x5c;
    std::array<std::uint8_t, kHmacBlock> block{};
    std::copy(key.begin(), key.end(), block.begin());
    for (std::uint8_t& byte : block) byte ^= kInnerPad;
    if (EVP_DigestInit_ex2(hmac.inner.get(), sha256_.get(), nullptr) != 1 ||
        EVP_DigestUpdate(hmac.inner.get(), block.data(), block.size()) != 1) {
        return false;
    }
    for (std::uint8_t& byte : block) byte ^= kInnerPad ^ kOuterPad;
    return EVP_DigestInit_ex2(hmac.outer.get(), sha256_.get(), nullptr) == 1 &&
           EVP_DigestUpdate(hmac.outer.get(), block.data(), block.size()) == 1;
}

bool QuicInitialCrypto::Finish(KeyedHmac& hmac, std::span<const std::uint8_t> message,
                               std::span<std::uint8_t> out) {
    std::array<std::uint8_t, kSecretLength> inner{};
    std::array<std::uint8_t, kSecretLength> mac{};
    if (out.size() > mac.size() ||
        EVP_DigestUpdate(hmac.inner.get(), message.data(), message.size()) != 1 ||
        EVP_DigestFinal_ex(hmac.inner.get(), inner.data(), nullptr) != 1 ||
        EVP_DigestUpdate(hmac.outer.get(), inner.data(), inner.size()) != 1 ||
        EVP_DigestFinal_ex(hmac.outer.get(), mac.data(), nullptr) != 1) {
        return false;
    }
    std::copy_n(mac.begin(), out.size(), out.begin());
    return true;
}

// Copying a keyed context costs about what initialising one does (libcrypto 3.0 allocates the
// digest's state for either), and spares hashing the key's block again.
bool QuicInitialCrypto::Mac(const KeyedHmac& hmac, std::span<const std::uint8_t> message,
                            std::span<std::uint8_t> out) {
    return EVP_MD_CTX_copy_ex(working_.inner.get(), hmac.inner.get()) == 1 &&
           EVP_MD_CTX_copy_ex(working_.outer.get(), hmac.outer.get()) == 1 &&
           Finish(working_, message, out);
}

// Every output is at most one digest long, so HKDF-Expand's first block is all of it:
// HMAC(secret, info || 0x01).
bool QuicInitialCrypto::ExpandLabel(KeyedHmac& secret, std::string_view label,
                                    std::span<std::uint8_t> out, bool consume) {
    constexpr std::string_view kPrefix = "tls13 ";
    std::array<std::uint8_t, 64> info{};
    // Length, label length and label, context length, the block counter.
    if (out.size() > kSecretLength || 3 + kPrefix.size() + label.size() + 2 > info.size()) {
        return false;
    }
    std::size_t length = 0;
    info[length++] = static_cast<std::uint8_t>(out.size() >> 8);
    info[length++] = static_cast<std::uint8_t>(out.size());
    info[length++] = static_cast<std::uint8_t>(kPrefix.size() + label.size());
    for (const char c : kPrefix) info[length++] = static_cast<std::uint8_t>(c);
    for (const char c : label) info[length++] = static_cast<std::uint8_t>(c);
    info[length++] = 0;  // no context
    info[length++] = 1;  // the first and only block
    const std::span<const std::uint8_t> message(info.data(), length);
    return consume ? Finish(secret, message, out) : Mac(secret, message, out);
}

bool QuicInitialCrypto::DeriveClientKeys(QuicVersion version,
                                         std::span<const std::uint8_t> destinationId,
                                         QuicInitialKeys& keys) {
    if (!valid() || destinationId.empty()) return false;
    const bool v1 = version == QuicVersion::kVersion1;
    std::array<std::uint8_t, kSecretLength> initialSecret{};
    std::array<std::uint8_t, kSecretLength> clientSecret{};
    // HKDF-Extract is the MAC of the connection id under the salt. The Initial secret keys one
    // MAC only, so that one uses its contexts up; the client secret keys three, the last of
    // which uses them up.
    return Mac(v1 ? saltV1_ : saltV2_, destinationId, initialSecret) &&
           SetKey(secret_, initialSecret) &&
           ExpandLabel(secret_, "client in", clientSecret, true) && SetKey(secret_, clientSecret) &&
           ExpandLabel(secret_, v1 ? "quic key" : "quicv2 key", keys.key, false) &&
           ExpandLabel(secret_, v1 ? "quic iv" : "quicv2 iv", keys.iv, false) &&
           ExpandLabel(secret_, v1 ? "quic hp" : "quicv2 hp", keys.headerProtection, true);
}

bool QuicInitialCrypto::HeaderProtectionMask(const QuicInitialKeys& keys,
                                             std::span<const std::uint8_t> sample,
                                             std::array<std::uint8_t, 5>& mask) {
    if (!valid() || sample.size() != kSampleLength) return false;
    EVP_CIPHER_CTX* context = ecbContext_.get();
    if (!ecbKeyed_ || ecbKey_ != keys.headerProtection) {
        ecbKeyed_ = false;
        if (EVP_EncryptInit_ex2(context, nullptr, keys.headerProtection.data(), nullptr, nullptr) !=
            1) {
            return false;
        }
        ecbKey_ = keys.headerProtection;
        ecbKeyed_ = true;
    }
    // One whole block in, one out: ECB keeps nothing back for the next call.
    std::array<std::uint8_t, kSampleLength> block{};
    int written = 0;
    if (EVP_EncryptUpdate(context, block.data(), &written, sample.data(),
                          static_cast<int>(sample.size())) != 1 ||
        written != static_cast<int>(kSampleLength)) {
        ecbKeyed_ = false;
        return false;
    }
    std::copy_n(block.begin(), mask.size(), mask.begin());
    return true;
}

bool QuicInitialCrypto::Open(const QuicInitialHeader& header, const QuicInitialKeys& keys,
                             std::vector<std::uint8_t>& plaintext, std::uint64_t* packetNumber) {
    const auto packet = header.packet;
    const std::size_t numberAt = header.packetNumberOffset;
    // The sample starts four bytes after the packet number's start, whatever its length, and
    // the tag follows the payload (RFC 9001 section 5.4.2).
    if (numberAt > packet.size() || packet.size() - numberAt < 4 + kSampleLength) return false;
    std::array<std::uint8_t, 5> mask{};
    if (!HeaderProtectionMask(keys, packet.subspan(numberAt + 4, kSampleLength), mask)) {
        return false;
    }
    const auto first = static_cast<std::uint8_t>(packet[0] ^ (mask[0] & 0x0F));
    const std::size_t numberLength = (first & 0x03) + 1;
    header_.assign(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(numberAt));
    header_[0] = first;
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < numberLength; ++i) {
        const auto byte = static_cast<std::uint8_t>(packet[numberAt + i] ^ mask[1 + i]);
        header_.push_back(byte);
        number = (number << 8) | byte;
    }
    std::array<std::uint8_t, 12> nonce = keys.iv;
    for (std::size_t i = 0; i < 8; ++i) {
        nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(number >> (8 * i));
    }

    const std::size_t payloadAt = numberAt + numberLength;
    const std::size_t ciphertextLength = packet.size() - payloadAt - kTagLength;
    plaintext.resize(ciphertextLength);
    EVP_CIPHER_CTX* context = gcmContext_.get();
    // A new nonce starts the next message afresh; the key schedule and the hash key stay from
    // the packet before when its key was the same.
    const bool rekey = !gcmKeyed_ || gcmKey_ != keys.key;
    gcmKeyed_ = false;
    if (EVP_DecryptInit_ex2(context, nullptr, rekey ? keys.key.data() : nullptr, nonce.data(),
                            nullptr) != 1) {
        plaintext.clear();
        return false;
    }
    gcmKey_ = keys.key;
    gcmKeyed_ = true;
    int written = 0;
    int last = 0;
    if (EVP_DecryptUpdate(context, nullptr, &written, header_.data(),
                          static_cast<int>(header_.size())) != 1 ||
        EVP_DecryptUpdate(context, plaintext.data(), &written, packet.data() + payloadAt,
                          static_cast<int>(ciphertextLength)) != 1) {
        plaintext.clear();
        return false;
    }
    // The tag is read after the payload, not before: a packet not yet in the cache then comes
    // in as one stream from its start instead of with a stall on its last line first.
    std::array<std::uint8_t, kTagLength> tag{};
    std::copy_n(packet.begin() + static_cast<std::ptrdiff_t>(payloadAt + ciphertextLength),
                kTagLength, tag.begin());
    if (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagLength),
                            tag.data()) != 1 ||
        EVP_DecryptFinal_ex(context, plaintext.data() + written, &last) != 1) {
        plaintext.clear();
        return false;
    }
    if (packetNumber != nullptr) *packetNumber = number;
    return true;
}

}  // namespace ravelin
