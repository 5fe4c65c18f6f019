#include "analysis/WebRecogniser.h"

namespace ravelin {

std::optional<RecognisedRequest> WebRecogniser::Recognise(const DecodedDatagram& packet,
                                                          CaptureTime time) {
    // A ClientHello's first byte (22) and a long header's (128 and up) begin no HTTP method, so
    // trying them first takes nothing from plain HTTP.
    std::optional<RecognisedRequest> request;
    std::string_view extension;
    if (packet.transport == Transport::kTcp) {
        request = tls_.Recognise(packet, time);
        extension = kTlsExtension;
    } else if (packet.transport == Transport::kUdp) {
        request = quic_.Recognise(packet, time);
        extension = kQuicExtension;
    }
    if (!request) return http_.Recognise(packet, time);
    request->colour = http_.colours().ExtensionColour(extension);
    return request;
}

}  // namespace ravelin
