#include "decode/QuicInitialCrypto.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>
#include <string>
#include <vector>

#include "decode/QuicInitial.h"
#include "decode/TlsClientHello.h"
#include "support/TlsBuilder.h"

namespace ravelin {
namespace {

using test::Bytes;
using test::FromHex;

// The client's first destination connection id in RFC 9001 appendix A and RFC 9369 appendix A.
const Bytes kRfcDestinationId = FromHex("8394c8f03e515708");

// The CRYPTO frame of the client Initial in RFC 9001 appendix A.2, which RFC 9369 appendix A
// seals again under version 2: a ClientHello naming example.com.
const Bytes kRfcCryptoFrame = FromHex(
    "060040f1010000ed0303ebf8fa56f12939b9584a3896472ec40bb863cfd3e868"
    "04fe3a47f06a2b69484c00000413011302010000c000000010000e00000b6578"
    "616d706c652e636f6dff01000100000a00080006001d00170018001000070005"
    "04616c706e000500050100000000003300260024001d00209370b2c9caa47fba"
    "baf4559fedc4fdd9b6f6e8fe0ae8f48d2b2cbb4ae76fe16e002b000302030400"
    "0d0010000e0403050306030203080408050806002d00020101001c0002400100"
    "3900320408ffffffffffffffff05048000ffff07048000ffff08011001048000"
    "75300901100f088394c8f03e51570806048000ffff");

struct RfcVector {
    QuicVersion version;
    const char* key;
    const char* iv;
    const char* hp;
    const char* sample;
    const char* mask;
    const char* protectedHeader;  // with the packet number, as sent
};

// Keys from RFC 9001 A.1 and RFC 9369 A.1; sample, mask and header from A.2 of each.
const RfcVector kRfcVectors[] = {
    {QuicVersion::kVersion1, "1f369613dd76d5467730efcbe3b1a22d", "fa044b2f42a3fd3b46fb255c",
     "9f50449e04a0e810283a1e9933adedd2", "d1b1c98dd7689fb8ec11d242b123dc9b", "437b9aec36",
     "c000000001088394c8f03e5157080000449e7b9aec34"},
    {QuicVersion::kVersion2, "8b1a0bc121284290a29e0971b5cd045d", "91f73e2351d8fa91660e909f",
     "45b95e15235d6f45a6b19cbcb0294ba9", "ffe67b6abcdb4298b485dd04de806071", "94a0c95e80",
     "d76b3343cf088394c8f03e5157080000449ea0c95e82"},
};

Bytes Span(const std::array<std::uint8_t, 16>& bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(QuicInitialCryptoTest, KeysAndMasksAreTheRfcs) {
    QuicInitialCrypto crypto;
    ASSERT_TRUE(crypto.valid());
    for (const RfcVector& vector : kRfcVectors) {
        SCOPED_TRACE(vector.key);
        QuicInitialKeys keys;
        ASSERT_TRUE(crypto.DeriveClientKeys(vector.version, kRfcDestinationId, keys));
        EXPECT_EQ(Span(keys.key), FromHex(vector.key));
        EXPECT_EQ(Bytes(keys.iv.begin(), keys.iv.end()), FromHex(vector.iv));
        EXPECT_EQ(Span(keys.headerProtection), FromHex(vector.hp));
        std::array<std::uint8_t, 5> mask{};
        ASSERT_TRUE(crypto.HeaderProtectionMask(keys, FromHex(vector.sample), mask));
        EXPECT_EQ(Bytes(mask.begin(), mask.end()), FromHex(vector.mask));
    }
}

TEST(QuicInitialCryptoTest, TheRfcClientInitialsOpenToExampleCom) {
    QuicInitialCrypto crypto;
    for (const RfcVector& vector : kRfcVectors) {
        SCOPED_TRACE(vector.key);
        // Sealed here as the RFCs seal it: packet number 2, no source id, 1200 bytes.
        const Bytes packet =
            test::SealClientInitial(vector.version, kRfcDestinationId, {}, kRfcCryptoFrame, 2);
        ASSERT_EQ(packet.size(), 1200U);
        const Bytes header = FromHex(vector.protectedHeader);
        EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 22), header);
        // The sample is the first ciphertext: the RFC's shows the payload encrypts alike.
        EXPECT_EQ(Bytes(packet.begin() + 22, packet.begin() + 38), FromHex(vector.sample));

        QuicInitialPackets packets(packet);
        const auto found = packets.Next();
        ASSERT_TRUE(found);
        EXPECT_EQ(found->version, vector.version);
        EXPECT_EQ(Bytes(found->destinationId.begin(), found->destinationId.end()),
                  kRfcDestinationId);
        EXPECT_EQ(found->packet.size(), 1200U);
        EXPECT_EQ(found->packetNumberOffset, 18U);
        EXPECT_FALSE(packets.Next());

        QuicInitialKeys keys;
        ASSERT_TRUE(crypto.DeriveClientKeys(vector.version, found->destinationId, keys));
        std::vector<std::uint8_t> plaintext;
        std::uint64_t number = 0;
        ASSERT_TRUE(crypto.Open(*found, keys, plaintext, &number));
        EXPECT_EQ(number, 2U);
        EXPECT_EQ(plaintext.size(), 1162U);
        std::vector<CryptoFragment> fragments;
        ASSERT_TRUE(ReadInitialFrames(plaintext, fragments));
        ASSERT_EQ(fragments.size(), 1U);
        EXPECT_EQ(fragments[0].offset, 0U);
        const auto hello = ParseClientHello(fragments[0].data);
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->serverName, "example.com");

        // Not under another id's keys (as a server's Initial), nor with one bit changed.
        QuicInitialKeys other;
        ASSERT_TRUE(crypto.DeriveClientKeys(vector.version, FromHex("0011223344556677"), other));
        EXPECT_FALSE(crypto.Open(*found, other, plaintext));
        EXPECT_TRUE(plaintext.empty());
        for (const std::size_t flip :
             {std::size_t{0}, std::size_t{20}, std::size_t{600}, std::size_t{1199}}) {
            Bytes damaged = packet;
            damaged[flip] ^= 0x01;
            QuicInitialPackets again(damaged);
            const auto header2 = again.Next();
            ASSERT_TRUE(header2);
            EXPECT_FALSE(crypto.Open(*header2, keys, plaintext)) << "bit flipped at " << flip;
        }
        // After all that, the packet opens again under its own keys.
        ASSERT_TRUE(crypto.Open(*found, keys, plaintext));
        EXPECT_EQ(plaintext.size(), 1162U);
    }
}

// The same derivation through libcrypto's own KDFs: HKDF for the Initial secret, and TLS13-KDF,
// which builds the labels itself, for the rest.
Bytes ReferenceSecret(const char* kdfName, int mode, std::span<const std::uint8_t> key,
                      std::span<const std::uint8_t> salt, std::string_view label,
                      std::size_t length) {
    const std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(
        EVP_KDF_fetch(nullptr, kdfName, nullptr), EVP_KDF_free);
    const std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> context(
        kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr, EVP_KDF_CTX_free);
    if (!context) return {};
    char digest[] = "SHA256";
    char prefix[] = "tls13 ";
    std::string labelText(label);
    std::vector<OSSL_PARAM> params = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()),
                                          key.size())};
    if (!salt.empty()) {
        params.push_back(OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size()));
    }
    if (!label.empty()) {
        params.push_back(
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PREFIX, prefix, sizeof prefix - 1));
        params.push_back(OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_LABEL, labelText.data(),
                                                           labelText.size()));
    }
    params.push_back(OSSL_PARAM_construct_end());
    Bytes out(length);
    if (EVP_KDF_derive(context.get(), out.data(), out.size(), params.data()) != 1) return {};
    return out;
}

QuicInitialKeys ReferenceKeys(QuicVersion version, std::span<const std::uint8_t> destinationId) {
    const bool v1 = version == QuicVersion::kVersion1;
    const Bytes salt = FromHex(v1 ? "38762cf7f55934b34d179ae6a4c80cadccbb7f0a"
                                  : "0dede3def700a6db819381be6e269dcbf9bd2ed9");
    const Bytes initial =
        ReferenceSecret("HKDF", EVP_KDF_HKDF_MODE_EXTRACT_ONLY, destinationId, salt, {}, 32);
    const Bytes client =
        ReferenceSecret("TLS13-KDF", EVP_KDF_HKDF_MODE_EXPAND_ONLY, initial, {}, "client in", 32);
    const auto expand = [&](std::string_view label, auto& out) {
        const Bytes bytes = ReferenceSecret("TLS13-KDF", EVP_KDF_HKDF_MODE_EXPAND_ONLY, client, {},
                                            label, out.size());
        if (bytes.size() == out.size()) std::copy(bytes.begin(), bytes.end(), out.begin());
    };
    QuicInitialKeys keys;
    expand(v1 ? "quic key" : "quicv2 key", keys.key);
    expand(v1 ? "quic iv" : "quicv2 iv", keys.iv);
    expand(v1 ? "quic hp" : "quicv2 hp", keys.headerProtection);
    return keys;
}

// One object derives connection after connection, the versions taking turns, for every id
// length a client may choose: the contexts it keeps between calls must carry nothing over.
TEST(QuicInitialCryptoTest, KeysMatchLibcryptosHkdfForEveryIdLength) {
    QuicInitialCrypto crypto;
    ASSERT_TRUE(crypto.valid());
    const QuicInitialKeys none;
    for (std::size_t length = 1; length <= 20; ++length) {
        Bytes id(length);
        for (std::size_t i = 0; i < length; ++i) id[i] = static_cast<std::uint8_t>(length * 37 + i);
        for (const QuicVersion version : {QuicVersion::kVersion1, QuicVersion::kVersion2}) {
            SCOPED_TRACE(testing::Message() << "id length " << length << ", version "
                                            << (version == QuicVersion::kVersion1 ? 1 : 2));
            const QuicInitialKeys expected = ReferenceKeys(version, id);
            ASSERT_NE(Span(expected.key), Span(none.key)) << "libcrypto's KDFs gave nothing";
            QuicInitialKeys keys;
            ASSERT_TRUE(crypto.DeriveClientKeys(version, id, keys));
            EXPECT_EQ(Span(keys.key), Span(expected.key));
            EXPECT_EQ(Bytes(keys.iv.begin(), keys.iv.end()),
                      Bytes(expected.iv.begin(), expected.iv.end()));
            EXPECT_EQ(Span(keys.headerProtection), Span(expected.headerProtection));
        }
    }
    // No id, no keys.
    QuicInitialKeys keys;
    EXPECT_FALSE(crypto.DeriveClientKeys(QuicVersion::kVersion1, {}, keys));
}

}  // namespace
}  // namespace ravelin
