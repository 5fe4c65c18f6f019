#include "analysis/HttpRecogniser.h"

#include "analysis/HttpRequestParser.h"

namespace ravelin {

std::optional<RecognisedRequest> HttpRecogniser::Recognise(const DecodedDatagram& packet,
                                                           CaptureTime /*time*/) {
    return RecognisePayload(packet.payload);
}

std::optional<RecognisedRequest> HttpRecogniser::RecognisePayload(
    std::span<const std::uint8_t> payload) {
    // The request text ends at the first zero byte: one in front leaves nothing to look at.
    if (payload.empty() || payload[0] == 0) return std::nullopt;
    const std::string_view bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
    // The text is a prefix of the payload, so a payload without a method at its start has none:
    // a 64 KiB segment of a download is then not searched for its first zero byte.
    if (HttpRequestParser::MatchMethod(bytes) < 0) return std::nullopt;
    const std::string_view text = RequestText(bytes);
    RecognisedRequest request;
    if (HttpRequestParser::MatchMethod(text, &request.method) < 0) return std::nullopt;
    auto url = HttpRequestParser::ComposeUrl(text, text.size() + 1);
    if (!url) return std::nullopt;
    // A URL without an extension keeps the background colour without a look at the file.
    if (const auto extension = HttpRequestParser::UrlExtension(*url, url->size() + 1)) {
        request.colour = colours_.ExtensionColour(*extension);
    }
    request.url = std::move(*url);
    return request;
}

}  // namespace ravelin
