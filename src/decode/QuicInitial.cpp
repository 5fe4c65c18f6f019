#include "decode/QuicInitial.h"

#include <cstring>

#include "decode/ByteReader.h"

namespace ravelin {

namespace {

constexpr std::uint32_t kVersion1 = 0x00000001;
constexpr std::uint32_t kVersion2 = 0x6b3343cf;
constexpr std::size_t kMaximumConnectionId = 20;
// Packet types in the long header's bits 4 and 5: version 2 turned them round (RFC 9369 3.2).
constexpr unsigned kInitialTypeV1 = 0;
constexpr unsigned kRetryTypeV1 = 3;
constexpr unsigned kInitialTypeV2 = 1;
constexpr unsigned kRetryTypeV2 = 0;

// Frame types an Initial packet may carry.
constexpr std::uint64_t kPadding = 0x00;
constexpr std::uint64_t kPing = 0x01;
constexpr std::uint64_t kAck = 0x02;
constexpr std::uint64_t kAckWithEcn = 0x03;
constexpr std::uint64_t kCrypto = 0x06;
constexpr std::uint64_t kConnectionClose = 0x1c;
constexpr std::uint64_t kMaximumVarint = (std::uint64_t{1} << 62) - 1;

/// A variable-length integer (RFC 9000 section 16): the first byte's two high bits give its
/// length, 1, 2, 4 or 8 bytes. 0 with the reader failed when it does not fit.
std::uint64_t ReadVarint(ByteReader& reader) {
    const std::uint8_t first = reader.ReadU8();
    std::uint64_t value = first & 0x3F;
    const int more = (1 << (first >> 6)) - 1;
    for (int i = 0; i < more; ++i) value = (value << 8) | reader.ReadU8();
    return reader.Failed() ? 0 : value;
}

/// Where the first byte other than zero lies in `bytes` from `at` on; the end when there is
/// none. PADDING frames are single zero bytes and fill most of a client's first Initial: they
/// are passed over eight at a time.
std::size_t SkipZeros(std::span<const std::uint8_t> bytes, std::size_t at) {
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    while (bytes.size() - at >= kWord) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, kWord);
        if (word != 0) break;
        at += kWord;
    }
    while (at < bytes.size() && bytes[at] == 0) ++at;
    return at;
}

}  // namespace

std::optional<QuicInitialHeader> QuicInitialPackets::Next() {
    while (at_ < payload_.size()) {
        const auto rest = payload_.subspan(at_);
        ByteReader reader(rest);
        const std::uint8_t first = reader.ReadU8();
        if ((first & 0x80) == 0) break;  // a short header runs to the datagram's end
        const std::uint32_t version = reader.ReadBe32();
        if (version != kVersion1 && version != kVersion2) break;
        const unsigned type = (first >> 4) & 0x03;
        if (type == (version == kVersion1 ? kRetryTypeV1 : kRetryTypeV2)) break;
        const bool initial = type == (version == kVersion1 ? kInitialTypeV1 : kInitialTypeV2);

        const std::uint8_t destinationLength = reader.ReadU8();
        const auto destinationId = reader.ReadBytes(destinationLength);
        const std::uint8_t sourceLength = reader.ReadU8();
        reader.Skip(sourceLength);
        if (initial) reader.Skip(ReadVarint(reader));  // the token
        const std::uint64_t length = ReadVarint(reader);
        if (reader.Failed() || destinationLength > kMaximumConnectionId ||
            sourceLength > kMaximumConnectionId || length == 0 || length > reader.Remaining()) {
            break;
        }
        const std::size_t packetNumberOffset = reader.Position();
        const std::size_t end = packetNumberOffset + length;
        at_ += end;
        if (!initial) continue;
        QuicInitialHeader header;
        header.version = version == kVersion1 ? QuicVersion::kVersion1 : QuicVersion::kVersion2;
        header.destinationId = destinationId;
        header.packet = rest.first(end);
        header.packetNumberOffset = packetNumberOffset;
        return header;
    }
    at_ = payload_.size();
    return std::nullopt;
}

bool ReadInitialFrames(std::span<const std::uint8_t> plaintext,
                       std::vector<CryptoFragment>& fragments) {
    ByteReader reader(plaintext);
    while (reader.Remaining() > 0) {
        if (plaintext[reader.Position()] == kPadding) {
            reader.Skip(SkipZeros(plaintext, reader.Position()) - reader.Position());
            continue;
        }
        const std::uint64_t type = ReadVarint(reader);
        switch (type) {
            case kPing:
                break;
            case kAck:
            case kAckWithEcn: {
                ReadVarint(reader);  // largest acknowledged
                ReadVarint(reader);  // delay
                const std::uint64_t ranges = ReadVarint(reader);
                ReadVarint(reader);  // first range
                // Each range takes two bytes at least: a count past the end fails the reader.
                for (std::uint64_t i = 0; i < ranges && !reader.Failed(); ++i) {
                    ReadVarint(reader);  // gap
                    ReadVarint(reader);  // range length
                }
                if (type == kAckWithEcn) {
                    for (int i = 0; i < 3; ++i) ReadVarint(reader);
                }
                break;
            }
            case kCrypto: {
                const std::uint64_t offset = ReadVarint(reader);
                const std::uint64_t length = ReadVarint(reader);
                const auto data = reader.ReadBytes(length);
                if (reader.Failed() || offset + length > kMaximumVarint) return false;
                fragments.push_back({offset, data});
                break;
            }
            case kConnectionClose:
                ReadVarint(reader);               // error code
                ReadVarint(reader);               // frame type
                reader.Skip(ReadVarint(reader));  // reason phrase
                break;
            default:
                return false;
        }
        if (reader.Failed()) return false;
    }
    return true;
}

}  // namespace ravelin
