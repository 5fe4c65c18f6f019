#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "analysis/RecentTable.h"
#include "decode/QuicInitial.h"
#include "decode/QuicInitialCrypto.h"
#include "decode/TlsClientHello.h"
#include "pipeline/PipelineSteps.h"

namespace ravelin {

/// The start of a handshake stream put together from CRYPTO frames, which may come in any order,
/// overlap and repeat: the first handshake message, once every byte of it arrived.
class HandshakeAssembly {
public:
    enum class Progress : std::uint8_t { kIncomplete, kComplete, kInvalid };
    /// Pieces that do not touch; more than this many means someone is playing games.
    static constexpr std::size_t kMaximumPieces = 64;

    /// Data of the stream at `offset`. Invalid when it reaches past kMaximumHandshakeMessage,
    /// leaves too many pieces, or the first message is no ClientHello or too long for the bound.
    Progress Add(std::uint64_t offset, std::span<const std::uint8_t> data);
    /// The first message, once Add said kComplete.
    std::span<const std::uint8_t> message() const;
    /// Nothing added yet.
    bool empty() const { return pieces_.empty(); }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<std::pair<std::size_t, std::size_t>> pieces_;  // [begin, end), sorted, apart
    std::size_t messageLength_ = 0;                            // 0 until the header is in
};

/// Finds the ClientHellos of QUIC connections: a client's Initial packets of version 1 or 2, on
/// any UDP port, are opened with the keys their destination connection id gives, and their
/// CRYPTO frames, over one or several packets, coalesced or not, give the ClientHello. One row
/// per connection (direction and destination connection id), whose packet is the datagram that
/// completes the ClientHello. The colour is left to the caller. Used by one thread at a time.
class QuicRecogniser {
public:
    /// Connections remembered, those being put together and those already listed; beyond it the
    /// least recently seen goes.
    static constexpr std::size_t kMaximumConnections = 512;
    /// A ClientHello still incomplete after this silence is given up.
    static constexpr std::int64_t kSilenceMicroseconds = 5'000'000;
    /// A listed connection is forgotten after this silence; a client retransmits its Initial
    /// packets with growing pauses, for as long as its handshake timeout.
    static constexpr std::int64_t kListedMicroseconds = 120'000'000;
    /// A client's first destination connection id is at least 8 bytes (RFC 9000 section 7.2); its
    /// later Initial packets go to the server's id, under the same keys, which that id does not
    /// give.
    static constexpr std::size_t kMinimumClientId = 8;

    std::optional<RecognisedRequest> Recognise(const DecodedDatagram& packet, CaptureTime time);

    /// Connections in the table.
    std::size_t connectionCount() const { return connections_.size(); }

private:
    struct Connection {
        QuicInitialKeys keys;
        std::int64_t lastSeen = 0;
        bool listed = false;  ///< its ClientHello was listed or given up
        HandshakeAssembly crypto;
    };

    /// Made at the first Initial: fetching the algorithms loads libcrypto's configuration and
    /// providers, a good part of the start of a run that may carry no QUIC at all.
    QuicInitialCrypto& crypto();

    std::unique_ptr<QuicInitialCrypto> crypto_;
    RecentTable<Connection> connections_{kMaximumConnections};
    std::vector<std::uint8_t> plaintext_;
    std::vector<CryptoFragment> fragments_;
};

}  // namespace ravelin
