#pragma once

#include <optional>
#include <span>
#include <string>

#include "analysis/ExtensionColours.h"
#include "pipeline/PipelineSteps.h"

namespace ravelin {

/// The pipeline's HTTP step: a payload that begins a request gives the method, the URL and
/// the row colour of its extension.
class HttpRecogniser : public RequestRecogniser {
public:
    explicit HttpRecogniser(std::string iniPath) : colours_(std::move(iniPath)) {}

    std::optional<RecognisedRequest> Recognise(std::span<const std::uint8_t> payload) override;

private:
    ExtensionColours colours_;
};

}  // namespace ravelin
