#pragma once

#include <optional>
#include <span>
#include <string>

#include "analysis/ExtensionColours.h"
#include "pipeline/PipelineSteps.h"

namespace ravelin {

/// The pipeline's HTTP step for plain HTTP: a payload that begins a request gives the method,
/// the URL and the row colour of its extension.
class HttpRecogniser : public RequestRecogniser {
public:
    explicit HttpRecogniser(std::string iniPath) : colours_(std::move(iniPath)) {}

    /// The datagram's payload as RecognisePayload reads it, over TCP, UDP or any protocol.
    std::optional<RecognisedRequest> Recognise(const DecodedDatagram& packet,
                                               CaptureTime time) override;
    /// Looks at the configuration file's colours.
    void BeginBatch() override { colours_.Refresh(); }

    /// A payload that begins with a zero byte begins no request.
    std::optional<RecognisedRequest> RecognisePayload(std::span<const std::uint8_t> payload);

    /// The colours of the configuration file, for other steps that colour their rows.
    ExtensionColours& colours() { return colours_; }

private:
    ExtensionColours colours_;
};

}  // namespace ravelin
