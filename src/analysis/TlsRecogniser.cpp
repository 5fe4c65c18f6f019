#include "analysis/TlsRecogniser.h"

#include <algorithm>

#include "decode/TextForms.h"

namespace ravelin {

namespace {

constexpr std::uint16_t kHttpsPort = 443;

}  // namespace

std::string ServerUrl(const std::optional<std::string_view>& serverName,
                      const IpAddress& serverAddress, std::uint16_t port) {
    std::string url = "https://";
    if (serverName) {
        url += *serverName;
    } else if (serverAddress.ipv6) {
        // An IPv6 address in a URL is bracketed, or its colons would read as the port's.
        url += '[';
        url += serverAddress.text().view();
        url += ']';
    } else {
        url += serverAddress.text().view();
    }
    if (port != kHttpsPort) {
        url += ':';
        url += DecimalText(port).view();
    }
    url += '/';
    return url;
}

std::optional<RecognisedRequest> TlsRecogniser::Recognise(const DecodedDatagram& packet,
                                                          CaptureTime time) {
    if (packet.transport != Transport::kTcp || packet.payload.empty()) return std::nullopt;
    const auto payload = packet.payload;
    const bool begins = MayBeginClientHello(payload);
    // Most segments neither begin a ClientHello nor continue one: a look at the first bytes and
    // at the table's size is all they cost.
    if (!begins && pending_.empty()) return std::nullopt;

    const std::int64_t now = Microseconds(time);
    const auto silent = [now](const Pending& pending) {
        return now - pending.lastSeen > kSilenceMicroseconds;
    };
    pending_.DropOldestWhile(silent);
    // A SYN's sequence number is its own; the data it carries (TCP Fast Open) starts after it.
    const std::uint32_t sequence = packet.tcp.sequenceNumber + (packet.tcp.synFlag ? 1U : 0U);
    const ConnectionKey key = MakeConnectionKey(packet);

    if (Pending* pending = pending_.Find(key); pending != nullptr && !silent(*pending)) {
        pending->lastSeen = now;
        switch (Continue(*pending, sequence, payload)) {
            case Continuation::kDuplicate:
                return std::nullopt;
            case Continuation::kAppended:
                switch (JoinHandshakeRecords(pending->stream, message_)) {
                    case RecordsProgress::kIncomplete:
                        return std::nullopt;
                    case RecordsProgress::kComplete:
                        pending_.Erase(key);
                        return RowFor(packet);
                    case RecordsProgress::kInvalid:
                        pending_.Erase(key);
                        return std::nullopt;
                }
                return std::nullopt;
            case Continuation::kConflict:
                pending_.Erase(key);
                return std::nullopt;
            case Continuation::kElsewhere:
                // Given up; the segment may begin a ClientHello of its own, as on a connection
                // that reuses the ports with a new initial sequence number.
                pending_.Erase(key);
                break;
        }
    } else if (pending != nullptr) {
        pending_.Erase(key);
    }

    if (!begins) return std::nullopt;
    switch (JoinHandshakeRecords(payload, message_)) {
        case RecordsProgress::kComplete:
            return RowFor(packet);
        case RecordsProgress::kIncomplete:
            if (payload.size() < kMaximumStream) {
                pending_.Insert(key, Pending{sequence, now, {payload.begin(), payload.end()}});
            }
            return std::nullopt;
        case RecordsProgress::kInvalid:
            return std::nullopt;
    }
    return std::nullopt;
}

TlsRecogniser::Continuation TlsRecogniser::Continue(Pending& pending, std::uint32_t sequence,
                                                    std::span<const std::uint8_t> payload) {
    // Sequence numbers wrap: the segment's place in the stream is its distance from the first
    // byte, and one that starts before the first byte lands far beyond the end.
    const std::uint32_t offset = sequence - pending.firstSequence;
    const std::size_t have = pending.stream.size();
    if (offset > have) return Continuation::kElsewhere;
    const std::size_t overlap = std::min(payload.size(), have - offset);
    if (!std::equal(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(overlap),
                    pending.stream.begin() + offset)) {
        return Continuation::kConflict;
    }
    if (overlap == payload.size()) return Continuation::kDuplicate;
    if (have + (payload.size() - overlap) > kMaximumStream) return Continuation::kConflict;
    pending.stream.insert(pending.stream.end(),
                          payload.begin() + static_cast<std::ptrdiff_t>(overlap), payload.end());
    return Continuation::kAppended;
}

std::optional<RecognisedRequest> TlsRecogniser::RowFor(const DecodedDatagram& packet) const {
    const auto hello = ParseClientHello(message_);
    if (!hello) return std::nullopt;
    RecognisedRequest request;
    request.method = kTlsMethod;
    request.url = ServerUrl(hello->serverName, packet.destinationIp(), packet.destinationPort());
    return request;
}

}  // namespace ravelin
