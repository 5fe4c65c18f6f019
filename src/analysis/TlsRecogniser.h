#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/RecentTable.h"
#include "decode/IpAddress.h"
#include "decode/TlsClientHello.h"
#include "pipeline/PipelineSteps.h"

namespace ravelin {

/// Method texts of the rows for a connection's opening, rather than a request.
constexpr std::string_view kTlsMethod = "TLS";
constexpr std::string_view kQuicMethod = "QUIC";

/// "https://HOST:PORT/" for a connection to `port`, without ":PORT" for 443. HOST is the server
/// name the ClientHello gives, else the server's address (`serverAddress`, network order).
std::string ServerUrl(const std::optional<std::string_view>& serverName,
                      const IpAddress& serverAddress, std::uint16_t port);

/// Finds TLS ClientHellos sent over TCP, on any port, and gives each one a row whose packet is
/// the segment that completes it. A ClientHello spread over several segments is put together
/// per connection direction, in sequence order: a gap, a retransmission whose bytes differ from
/// those received, more than kMaximumStream bytes or kSilence without a segment give it up.
/// The colour is left to the caller. Used by one thread at a time.
class TlsRecogniser {
public:
    /// ClientHellos being put together at once; beyond it the least recently continued goes.
    static constexpr std::size_t kMaximumConnections = 256;
    /// A message of kMaximumHandshakeMessage bytes and the headers of the records it is cut into.
    static constexpr std::size_t kMaximumStream = kMaximumHandshakeMessage + 4096;
    static constexpr std::int64_t kSilenceMicroseconds = 5'000'000;

    std::optional<RecognisedRequest> Recognise(const DecodedDatagram& packet, CaptureTime time);

    /// ClientHellos waiting for their next segment.
    std::size_t pendingCount() const { return pending_.size(); }

private:
    struct Pending {
        std::uint32_t firstSequence = 0;  ///< of the stream's first byte
        std::int64_t lastSeen = 0;        ///< microseconds
        std::vector<std::uint8_t> stream;
    };
    enum class Continuation : std::uint8_t {
        kAppended,
        kDuplicate,  ///< a retransmission of bytes already received
        kConflict,   ///< bytes that differ from those received, or past the bound
        kElsewhere,  ///< a gap, or a segment from before the ClientHello
    };

    static Continuation Continue(Pending& pending, std::uint32_t sequence,
                                 std::span<const std::uint8_t> payload);
    std::optional<RecognisedRequest> RowFor(const DecodedDatagram& packet) const;

    RecentTable<Pending> pending_{kMaximumConnections};
    std::vector<std::uint8_t> message_;  // the handshake message put together, reused
};

}  // namespace ravelin
