#include "analysis/QuicRecogniser.h"

#include <algorithm>

#include "analysis/TlsRecogniser.h"

namespace ravelin {

namespace {

constexpr std::uint8_t kClientHelloType = 1;

/// The ClientHello that `fragment` carries whole from the stream's start, as a client sends it
/// when it fits one packet; nothing when it does not. An empty HandshakeAssembly given the
/// fragment first would say kComplete with this message, so it is parsed in place.
std::span<const std::uint8_t> WholeClientHello(const CryptoFragment& fragment) {
    const auto data = fragment.data;
    if (fragment.offset != 0 || data.size() > kMaximumHandshakeMessage || data.empty() ||
        data[0] != kClientHelloType) {
        return {};
    }
    const auto body = HandshakeBodyLength(data);
    if (!body || *body > kMaximumHandshakeMessage - kHandshakeHeaderLength ||
        data.size() - kHandshakeHeaderLength < *body) {
        return {};
    }
    return data.first(kHandshakeHeaderLength + *body);
}

}  // namespace

QuicInitialCrypto& QuicRecogniser::crypto() {
    if (crypto_ == nullptr) crypto_ = std::make_unique<QuicInitialCrypto>();
    return *crypto_;
}

HandshakeAssembly::Progress HandshakeAssembly::Add(std::uint64_t offset,
                                                   std::span<const std::uint8_t> data) {
    if (offset > kMaximumHandshakeMessage || data.size() > kMaximumHandshakeMessage - offset) {
        return Progress::kInvalid;
    }
    if (data.empty()) return Progress::kIncomplete;
    const auto begin = static_cast<std::size_t>(offset);
    const std::size_t end = begin + data.size();
    if (bytes_.size() < end) bytes_.resize(end);
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(begin));

    // Merge [begin, end) with every piece it touches or overlaps.
    auto first = std::lower_bound(pieces_.begin(), pieces_.end(), begin,
                                  [](const std::pair<std::size_t, std::size_t>& piece,
                                     std::size_t at) { return piece.second < at; });
    auto last = first;
    std::size_t mergedBegin = begin;
    std::size_t mergedEnd = end;
    while (last != pieces_.end() && last->first <= end) {
        mergedBegin = std::min(mergedBegin, last->first);
        mergedEnd = std::max(mergedEnd, last->second);
        ++last;
    }
    first = pieces_.erase(first, last);
    pieces_.insert(first, {mergedBegin, mergedEnd});
    if (pieces_.size() > kMaximumPieces) return Progress::kInvalid;

    const auto& head = pieces_.front();
    if (head.first != 0 || head.second < kHandshakeHeaderLength) return Progress::kIncomplete;
    if (messageLength_ == 0) {
        if (bytes_[0] != kClientHelloType) return Progress::kInvalid;
        const std::size_t body = *HandshakeBodyLength(bytes_);
        if (body > kMaximumHandshakeMessage - kHandshakeHeaderLength) return Progress::kInvalid;
        messageLength_ = kHandshakeHeaderLength + body;
    }
    return head.second >= messageLength_ ? Progress::kComplete : Progress::kIncomplete;
}

std::span<const std::uint8_t> HandshakeAssembly::message() const {
    if (messageLength_ == 0 || bytes_.size() < messageLength_) return {};
    return std::span<const std::uint8_t>(bytes_).first(messageLength_);
}

std::optional<RecognisedRequest> QuicRecogniser::Recognise(const DecodedDatagram& packet,
                                                           CaptureTime time) {
    // A client's Initial comes in a datagram of 1200 bytes at least, behind a long header: most
    // UDP datagrams are passed over before any lookup.
    if (packet.transport != Transport::kUdp || packet.payload.size() < kMinimumInitialDatagram ||
        (packet.payload[0] & 0x80) == 0) {
        return std::nullopt;
    }
    const std::int64_t now = Microseconds(time);
    const auto stale = [now](const Connection& connection) {
        return now - connection.lastSeen >
               (connection.listed ? kListedMicroseconds : kSilenceMicroseconds);
    };
    connections_.DropOldestWhile(stale);

    std::optional<RecognisedRequest> request;
    QuicInitialPackets packets(packet.payload);
    while (const auto header = packets.Next()) {
        if (header->destinationId.size() < kMinimumClientId) continue;
        const ConnectionKey key = MakeConnectionKey(packet, header->destinationId);
        Connection* connection = connections_.Find(key);
        if (connection != nullptr && stale(*connection)) {
            connections_.Erase(key);
            connection = nullptr;
        }
        if (connection != nullptr && connection->listed) {
            connection->lastSeen = now;
            continue;
        }
        QuicInitialKeys keys;
        if (connection != nullptr) {
            keys = connection->keys;
        } else if (!crypto().DeriveClientKeys(header->version, header->destinationId, keys)) {
            continue;
        }
        // A server's Initial, or a client's to the server's id, does not open: no state for it.
        fragments_.clear();
        if (!crypto().Open(*header, keys, plaintext_) ||
            !ReadInitialFrames(plaintext_, fragments_) || fragments_.empty()) {
            continue;
        }
        if (connection == nullptr)
            connection = &connections_.Insert(key, Connection{keys, now, false, {}});
        connection->lastSeen = now;
        auto progress = HandshakeAssembly::Progress::kIncomplete;
        std::span<const std::uint8_t> message;
        if (connection->crypto.empty()) message = WholeClientHello(fragments_.front());
        if (!message.empty()) {
            progress = HandshakeAssembly::Progress::kComplete;
        } else {
            for (const CryptoFragment& fragment : fragments_) {
                progress = connection->crypto.Add(fragment.offset, fragment.data);
                if (progress != HandshakeAssembly::Progress::kIncomplete) break;
            }
            if (progress == HandshakeAssembly::Progress::kIncomplete) continue;
            message = connection->crypto.message();
        }

        // Listed or given up, the connection gives no other row; its bytes are let go.
        connection->listed = true;
        if (progress == HandshakeAssembly::Progress::kComplete && !request) {
            if (const auto hello = ParseClientHello(message)) {
                request.emplace();
                request->method = kQuicMethod;
                request->url =
                    ServerUrl(hello->serverName, packet.destinationIp(), packet.destinationPort());
            }
        }
        connection->crypto = HandshakeAssembly();
    }
    return request;
}

}  // namespace ravelin
