// A TCP stream's first bytes through the ClientHello parser, the record joiner and the TLS step
// that puts split ClientHellos together, with the limits they promise checked on every result.
//
// Input: a segment size (0: the whole stream in one segment), a flags byte, then the stream.
// Flags: 1 sends every segment twice, 2 leaves six seconds of silence before the last segment,
// 4 sets SYN on the first segment (data in a SYN), 8 sends the segments of two connections
// interleaved.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "analysis/TlsRecogniser.h"
#include "decode/TlsClientHello.h"

namespace {

using ravelin::fuzz::Check;

bool Inside(std::string_view part, std::span<const std::uint8_t> whole) {
    const auto* begin = reinterpret_cast<const char*>(whole.data());
    return part.data() >= begin && part.data() + part.size() <= begin + whole.size();
}

void CheckRow(const std::optional<ravelin::RecognisedRequest>& row) {
    if (!row) return;
    Check(row->method == ravelin::kTlsMethod, "a TLS row");
    Check(row->url.rfind("https://", 0) == 0 && row->url.back() == '/' && row->url.size() > 9,
          "the URL is https://HOST[:PORT]/");
}

ravelin::DecodedDatagram Segment(std::span<const std::uint8_t> payload, std::uint32_t sequence,
                                 std::uint16_t clientPort, bool syn) {
    ravelin::DecodedDatagram packet;
    packet.ip.sourceAddress = 0x0200000A;
    packet.ip.destinationAddress = 0x070200C0;
    packet.ip.protocol = 6;
    packet.transport = ravelin::Transport::kTcp;
    packet.tcp.sourcePort = clientPort;
    packet.tcp.destinationPort = 443;
    packet.tcp.sequenceNumber = sequence;
    packet.tcp.synFlag = syn;
    packet.payload = payload;
    packet.dataLength = static_cast<std::int32_t>(payload.size());
    return packet;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t segmentSize = data[0] == 0 ? size : data[0];
    const std::uint8_t flags = data[1];
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    if (const auto hello = ravelin::ParseClientHello(stream); hello && hello->serverName) {
        Check(!hello->serverName->empty() && Inside(*hello->serverName, stream),
              "the server name is a non-empty part of the message");
    }
    std::vector<std::uint8_t> message;
    const auto progress = ravelin::JoinHandshakeRecords(stream, message);
    Check(message.size() <= ravelin::kMaximumHandshakeMessage, "the message stays in its bound");
    if (progress == ravelin::RecordsProgress::kComplete) {
        Check(message[0] == 1 && message.size() == 4 + *ravelin::HandshakeBodyLength(message),
              "a complete message is one whole ClientHello message");
        ravelin::ParseClientHello(message);
    }
    if (stream.size() >= 6 && !ravelin::MayBeginClientHello(stream)) {
        Check(progress == ravelin::RecordsProgress::kInvalid, "what cannot begin one is invalid");
    }

    ravelin::TlsRecogniser recogniser;
    std::vector<std::span<const std::uint8_t>> segments;
    for (std::size_t at = 0; at < stream.size(); at += segmentSize) {
        segments.push_back(stream.subspan(at, std::min(segmentSize, stream.size() - at)));
    }
    const int connections = (flags & 8) != 0 ? 2 : 1;
    std::uint32_t sequence = 0xFFFFFF00;  // wraps within the first segments
    std::int64_t seconds = 1000;
    int rows[2] = {0, 0};
    for (std::size_t index = 0; index < segments.size(); ++index) {
        if ((flags & 2) != 0 && index + 1 == segments.size()) seconds += 6;
        const bool syn = (flags & 4) != 0 && index == 0;
        for (int copy = 0; copy < ((flags & 1) != 0 ? 2 : 1); ++copy) {
            for (int connection = 0; connection < connections; ++connection) {
                const auto row = recogniser.Recognise(
                    Segment(segments[index], sequence - (syn ? 1 : 0),
                            static_cast<std::uint16_t>(40000 + connection), syn),
                    {seconds, 0});
                CheckRow(row);
                rows[connection] += row ? 1 : 0;
            }
        }
        sequence += static_cast<std::uint32_t>(segments[index].size());
    }
    Check(recogniser.pendingCount() <= static_cast<std::size_t>(connections),
          "no more pending ClientHellos than connections");
    Check(connections == 1 || rows[0] == rows[1], "interleaved connections do not mix");
    // However the stream is cut and repeated, a ClientHello it begins with is found, unless
    // the silence gave it up.
    const bool whole = progress == ravelin::RecordsProgress::kComplete &&
                       ravelin::ParseClientHello(message).has_value();
    if (whole && (flags & 2) == 0 && stream.size() <= ravelin::TlsRecogniser::kMaximumStream) {
        Check(rows[0] > 0, "the ClientHello the stream begins with is listed");
    }
    return 0;
}
