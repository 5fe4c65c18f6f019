#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/DatagramBatch.h"
#include "decode/DatagramDecoder.h"
#include "rows/Colour.h"
#include "rows/PacketOwner.h"

namespace ravelin {

/// The filter's word on one packet: whether it is listed, and the owner it found.
struct FilterDecision {
    bool keep = true;
    int owner = kNoOwner;
    std::string_view ownerName;  ///< the owner's image name where known; valid until the next
                                 ///< decision
};

/// Decides whether a decoded packet is listed at all (attribution to a checked process).
class PacketFilter {
public:
    virtual ~PacketFilter() = default;
    /// `sentByThisHost` is the pipeline's word on the packet's direction: its source is the
    /// bound address or, where that is 0.0.0.0, an address of this host (LocalAddresses).
    /// `localPort` is the port on this host's side: the source port of a packet sent by this
    /// host, otherwise the destination port; 0 for protocols without ports. `recorded` is the
    /// owner a saved capture names for the packet: it stands for the lookup.
    virtual FilterDecision Keep(const DecodedDatagram& packet, std::uint16_t localPort,
                                bool sentByThisHost, const RecordedOwner& recorded) = 0;
    /// The packets until EndBatch arrived together: a filter may read its clock once for all.
    virtual void BeginBatch() {}
    virtual void EndBatch() {}
};

/// What the HTTP list shows of a request: a payload that begins one, or a connection's opening.
struct RecognisedRequest {
    std::string_view method;  ///< static storage
    std::string url;
    Colour colour = kBackgroundColour;
};

/// Recognises requests in datagrams (the HTTP step). Every listed datagram with a payload that
/// is not a later fragment is offered, in arrival order, whatever its first byte: a handshake
/// spread over several segments is put together from their addresses, ports, sequence numbers
/// and capture times.
class RequestRecogniser {
public:
    virtual ~RequestRecogniser() = default;
    virtual std::optional<RecognisedRequest> Recognise(const DecodedDatagram& packet,
                                                       CaptureTime time) = 0;
    /// A batch of datagrams follows: the place to look at settings that may have changed,
    /// once per batch rather than once per datagram.
    virtual void BeginBatch() {}
};

/// Told about every row as it is listed, on the pipeline's thread.
class ListingObserver {
public:
    virtual ~ListingObserver() = default;
    /// `owner` is the process the filter found for the packet, or kNoOwner.
    virtual void OnPacketListed(int /*row*/, int /*owner*/) {}
    virtual void OnRequestListed(int /*row*/) {}
    /// The pipeline has nothing more queued for now.
    virtual void OnBatchEnd() {}
};

}  // namespace ravelin
