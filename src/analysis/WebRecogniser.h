#pragma once

#include <optional>
#include <string>

#include "analysis/HttpRecogniser.h"
#include "analysis/QuicRecogniser.h"
#include "analysis/TlsRecogniser.h"
#include "pipeline/PipelineSteps.h"

namespace ravelin {

/// The pipeline's HTTP step for every web connection: a TLS ClientHello over TCP, a QUIC client
/// Initial over UDP, else a plain HTTP request. The TLS and QUIC rows have URLs without an
/// extension; they take the colour of the pseudo-extensions "tls" and "quic", which a
/// [HighLightExtension] key may list like any other.
class WebRecogniser : public RequestRecogniser {
public:
    static constexpr std::string_view kTlsExtension = "tls";
    static constexpr std::string_view kQuicExtension = "quic";

    explicit WebRecogniser(std::string iniPath) : http_(std::move(iniPath)) {}

    std::optional<RecognisedRequest> Recognise(const DecodedDatagram& packet,
                                               CaptureTime time) override;
    void BeginBatch() override { http_.BeginBatch(); }

    /// State kept for connections, for tests and benchmarks.
    std::size_t pendingTlsCount() const { return tls_.pendingCount(); }
    std::size_t quicConnectionCount() const { return quic_.connectionCount(); }

private:
    HttpRecogniser http_;
    TlsRecogniser tls_;
    QuicRecogniser quic_;
};

}  // namespace ravelin
