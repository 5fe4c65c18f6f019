#include "support/TlsBuilder.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

#include "decode/QuicInitialCrypto.h"

namespace ravelin::test {

namespace {

void PutBe16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutVarint(Bytes& out, std::uint64_t value) {
    if (value < 0x40) {
        out.push_back(static_cast<std::uint8_t>(value));
    } else if (value < 0x4000) {
        PutBe16(out, 0x4000 | value);
    } else {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>((shift == 24 ? 0x80 : 0) | (value >> shift)));
        }
    }
}

}  // namespace

TlsExtension ServerNameExtension(std::string_view host) {
    TlsExtension extension{0, {}};
    PutBe16(extension.data, host.size() + 3);
    extension.data.push_back(0);  // host_name
    PutBe16(extension.data, host.size());
    extension.data.insert(extension.data.end(), host.begin(), host.end());
    return extension;
}

TlsExtension FillerExtension(std::uint16_t type, std::size_t size) {
    TlsExtension extension{type, Bytes(size)};
    for (std::size_t i = 0; i < size; ++i) extension.data[i] = static_cast<std::uint8_t>(i * 7);
    return extension;
}

ClientHelloBuilder ClientHelloBuilder::Modern(std::string_view host, std::size_t keyShareSize) {
    ClientHelloBuilder builder;
    std::vector<TlsExtension> extensions;
    if (!host.empty()) extensions.push_back(ServerNameExtension(host));
    extensions.push_back({43, {0x02, 0x03, 0x04}});  // supported_versions: TLS 1.3
    extensions.push_back({10, {0x00, 0x02, 0x00, 0x1D}});
    extensions.push_back(FillerExtension(51, keyShareSize));  // key_share
    builder.extensions = std::move(extensions);
    return builder;
}

Bytes ClientHelloBuilder::Build() const {
    Bytes body;
    PutBe16(body, legacyVersion);
    for (int i = 0; i < 32; ++i) body.push_back(static_cast<std::uint8_t>(0xA0 + i));  // random
    body.push_back(static_cast<std::uint8_t>(sessionId.size()));
    body.insert(body.end(), sessionId.begin(), sessionId.end());
    PutBe16(body, cipherSuites.size());
    body.insert(body.end(), cipherSuites.begin(), cipherSuites.end());
    body.push_back(static_cast<std::uint8_t>(compressionMethods.size()));
    body.insert(body.end(), compressionMethods.begin(), compressionMethods.end());
    if (extensions) {
        Bytes block;
        for (const TlsExtension& extension : *extensions) {
            PutBe16(block, extension.type);
            PutBe16(block, extension.data.size());
            block.insert(block.end(), extension.data.begin(), extension.data.end());
        }
        PutBe16(body, block.size());
        body.insert(body.end(), block.begin(), block.end());
    }
    Bytes message{0x01, static_cast<std::uint8_t>(body.size() >> 16)};
    PutBe16(message, body.size() & 0xFFFF);
    message.insert(message.end(), body.begin(), body.end());
    return message;
}

Bytes HandshakeRecords(std::span<const std::uint8_t> message, std::size_t fragment,
                       std::uint16_t recordVersion) {
    Bytes out;
    for (std::size_t at = 0; at < message.size(); at += fragment) {
        const std::size_t size = std::min(fragment, message.size() - at);
        out.push_back(22);
        PutBe16(out, recordVersion);
        PutBe16(out, size);
        out.insert(out.end(), message.begin() + static_cast<std::ptrdiff_t>(at),
                   message.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    return out;
}

Bytes CryptoFrame(std::uint64_t offset, std::span<const std::uint8_t> data) {
    Bytes frame{0x06};
    PutVarint(frame, offset);
    PutVarint(frame, data.size());
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

Bytes SealClientInitial(QuicVersion version, std::span<const std::uint8_t> destinationId,
                        std::span<const std::uint8_t> sourceId,
                        std::span<const std::uint8_t> frames, std::uint32_t packetNumber,
                        std::size_t packetSize) {
    const bool v1 = version == QuicVersion::kVersion1;
    Bytes packet{static_cast<std::uint8_t>(v1 ? 0xC3 : 0xD3)};  // Initial, 4-byte number
    const std::uint32_t wire = v1 ? 0x00000001 : 0x6b3343cf;
    for (int shift = 24; shift >= 0; shift -= 8) {
        packet.push_back(static_cast<std::uint8_t>(wire >> shift));
    }
    packet.push_back(static_cast<std::uint8_t>(destinationId.size()));
    packet.insert(packet.end(), destinationId.begin(), destinationId.end());
    packet.push_back(static_cast<std::uint8_t>(sourceId.size()));
    packet.insert(packet.end(), sourceId.begin(), sourceId.end());
    packet.push_back(0);  // no token
    // Two-byte length, four-byte packet number, the tag: the rest is payload.
    const std::size_t fixed = packet.size() + 2 + 4 + 16;
    const std::size_t plaintextLength =
        std::max(frames.size(), packetSize - std::min(packetSize, fixed));
    PutBe16(packet, 0x4000 | (4 + plaintextLength + 16));
    const std::size_t numberAt = packet.size();
    for (int shift = 24; shift >= 0; shift -= 8) {
        packet.push_back(static_cast<std::uint8_t>(packetNumber >> shift));
    }
    Bytes plaintext(frames.begin(), frames.end());
    plaintext.resize(plaintextLength, 0x00);  // PADDING

    QuicInitialCrypto crypto;
    QuicInitialKeys keys;
    if (!crypto.DeriveClientKeys(version, destinationId, keys)) std::abort();
    std::array<std::uint8_t, 12> nonce = keys.iv;
    for (int i = 0; i < 4; ++i) nonce[11 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));

    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(
        EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes sealed(plaintext.size() + 16);
    int written = 0;
    int last = 0;
    if (EVP_EncryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, keys.key.data(),
                           nonce.data()) != 1 ||
        EVP_EncryptUpdate(context.get(), nullptr, &written, packet.data(),
                          static_cast<int>(packet.size())) != 1 ||
        EVP_EncryptUpdate(context.get(), sealed.data(), &written, plaintext.data(),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), sealed.data() + written, &last) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, 16,
                            sealed.data() + plaintext.size()) != 1) {
        std::abort();
    }
    packet.insert(packet.end(), sealed.begin(), sealed.end());

    std::array<std::uint8_t, 5> mask{};
    if (!crypto.HeaderProtectionMask(keys, std::span(packet).subspan(numberAt + 4, 16), mask)) {
        std::abort();
    }
    packet[0] ^= mask[0] & 0x0F;
    for (int i = 0; i < 4; ++i) packet[numberAt + i] ^= mask[1 + i];
    return packet;
}

Bytes FromHex(std::string_view hex) {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        std::abort();
    };
    if (hex.size() % 2 != 0) std::abort();
    Bytes bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
    }
    return bytes;
}

}  // namespace ravelin::test
