#include "decode/TlsClientHello.h"

#include <algorithm>

#include "decode/ByteReader.h"

namespace ravelin {

namespace {

constexpr std::uint8_t kHandshakeRecordType = 22;
constexpr std::uint8_t kClientHelloType = 1;
constexpr std::size_t kRecordHeaderLength = 5;
constexpr std::size_t kMaximumRecordLength = 16384;  // 2^14, the plaintext record limit
constexpr std::size_t kRandomLength = 32;
constexpr std::size_t kMaximumSessionId = 32;
constexpr std::uint16_t kServerNameExtension = 0;
constexpr std::uint8_t kHostNameType = 0;

std::uint32_t ReadBe24(ByteReader& reader) {
    const std::uint32_t high = reader.ReadU8();
    return (high << 16) | reader.ReadBe16();
}

/// The server_name extension's data: a non-empty list of (type, non-empty name), which it fills
/// exactly. The first host_name entry is the server's name.
bool ReadServerName(std::span<const std::uint8_t> data, std::optional<std::string_view>& name) {
    ByteReader reader(data);
    const std::uint16_t listLength = reader.ReadBe16();
    if (reader.Failed() || listLength == 0 || listLength != reader.Remaining()) return false;
    while (reader.Remaining() > 0) {
        const std::uint8_t type = reader.ReadU8();
        const std::uint16_t length = reader.ReadBe16();
        const auto entry = reader.ReadBytes(length);
        if (reader.Failed() || length == 0) return false;
        if (type == kHostNameType && !name) {
            name = std::string_view(reinterpret_cast<const char*>(entry.data()), entry.size());
        }
    }
    return true;
}

/// The bytes present of a record header are those of a handshake record, SSL 3.0 to TLS 1.3.
bool RecordHeaderPrefixFits(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes[0] != kHandshakeRecordType) return false;
    if (bytes.size() > 1 && bytes[1] != 3) return false;
    return bytes.size() <= 2 || bytes[2] <= 4;
}

}  // namespace

std::optional<std::size_t> HandshakeBodyLength(std::span<const std::uint8_t> message) {
    if (message.size() < kHandshakeHeaderLength) return std::nullopt;
    return (std::size_t{message[1]} << 16) | (std::size_t{message[2]} << 8) | message[3];
}

std::optional<ClientHello> ParseClientHello(std::span<const std::uint8_t> message) {
    ByteReader reader(message);
    const std::uint8_t type = reader.ReadU8();
    const std::uint32_t length = ReadBe24(reader);
    if (reader.Failed() || type != kClientHelloType || length != reader.Remaining()) {
        return std::nullopt;
    }
    ClientHello hello;
    hello.legacyVersion = reader.ReadBe16();
    reader.Skip(kRandomLength);
    const std::uint8_t sessionIdLength = reader.ReadU8();
    reader.Skip(sessionIdLength);
    const std::uint16_t cipherSuitesLength = reader.ReadBe16();
    reader.Skip(cipherSuitesLength);
    const std::uint8_t compressionLength = reader.ReadU8();
    reader.Skip(compressionLength);
    if (reader.Failed() || (hello.legacyVersion >> 8) != 3 || sessionIdLength > kMaximumSessionId ||
        cipherSuitesLength < 2 || cipherSuitesLength % 2 != 0 || compressionLength == 0) {
        return std::nullopt;
    }
    // Before TLS 1.2 a ClientHello may end here, without extensions.
    if (reader.Remaining() == 0) return hello;

    const std::uint16_t extensionsLength = reader.ReadBe16();
    if (reader.Failed() || extensionsLength != reader.Remaining()) return std::nullopt;
    bool seenServerName = false;
    while (reader.Remaining() > 0) {
        const std::uint16_t extension = reader.ReadBe16();
        const std::uint16_t dataLength = reader.ReadBe16();
        const auto data = reader.ReadBytes(dataLength);
        if (reader.Failed()) return std::nullopt;
        if (extension == kServerNameExtension) {
            // Two extensions of one type make the ClientHello invalid.
            if (seenServerName || !ReadServerName(data, hello.serverName)) return std::nullopt;
            seenServerName = true;
        }
    }
    return hello;
}

bool MayBeginClientHello(std::span<const std::uint8_t> payload) {
    // A first segment of one or two bytes is rare but legal, and some clients cut their first
    // record's header on purpose so that filters looking at one segment miss the name.
    if (!RecordHeaderPrefixFits(payload)) return false;
    return payload.size() <= kRecordHeaderLength ||
           payload[kRecordHeaderLength] == kClientHelloType;
}

RecordsProgress JoinHandshakeRecords(std::span<const std::uint8_t> stream,
                                     std::vector<std::uint8_t>& message) {
    message.clear();
    std::size_t wanted = kHandshakeHeaderLength;  // what the message needs before it is known
    std::size_t at = 0;
    while (at < stream.size()) {
        const auto rest = stream.subspan(at);
        if (!RecordHeaderPrefixFits(rest)) return RecordsProgress::kInvalid;
        if (rest.size() < kRecordHeaderLength) return RecordsProgress::kIncomplete;
        const std::size_t length = (std::size_t{rest[3]} << 8) | rest[4];
        if (length == 0 || length > kMaximumRecordLength) return RecordsProgress::kInvalid;
        const std::size_t present = std::min(length, rest.size() - kRecordHeaderLength);
        auto fragment = rest.subspan(kRecordHeaderLength, present);
        while (!fragment.empty()) {
            const std::size_t take = std::min(wanted - message.size(), fragment.size());
            message.insert(message.end(), fragment.begin(),
                           fragment.begin() + static_cast<std::ptrdiff_t>(take));
            fragment = fragment.subspan(take);
            // Its first byte tells whether a ClientHello is coming at all.
            if (message[0] != kClientHelloType) return RecordsProgress::kInvalid;
            if (message.size() < wanted) break;
            if (wanted > kHandshakeHeaderLength) return RecordsProgress::kComplete;
            // The header is in: from now on the message's own length says what is wanted.
            const std::size_t body = *HandshakeBodyLength(message);
            if (body > kMaximumHandshakeMessage - kHandshakeHeaderLength) {
                return RecordsProgress::kInvalid;
            }
            wanted += body;
            if (message.size() == wanted) return RecordsProgress::kComplete;
        }
        if (present < length) return RecordsProgress::kIncomplete;
        at += kRecordHeaderLength + length;
    }
    return RecordsProgress::kIncomplete;
}

}  // namespace ravelin
