#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/CheckCall.h"
#include "capture/DatagramBatch.h"
#include "capture/PacketSource.h"

namespace ravelin {

/// The records the capture helper streams to Ravelin over a socket pair: a header of two
/// 32-bit words (type, payload length) in host order, then the payload. Ravelin reads them as
/// untrusted bytes: every length is checked against what arrived and against kMaxPayload.
enum class CaptureRecordType : std::uint32_t {
    kEvents = 1,       ///< whether kernel socket events were loaded, and why not
    kStep = 2,         ///< how one step of opening the capture went
    kReady = 3,        ///< capture runs, with every right given up: the link type
    kFrame = 4,        ///< one captured frame with its time stamp and length on the wire
    kSocketEvent = 5,  ///< one kernel socket event, as the kernel program wrote it
    kSyn = 6,          ///< the start of a TCP SYN this host sent, from its IP header on
    kStatistics = 7,   ///< the kernel's received and dropped counts, as asked for
    kFailure = 8,      ///< capture failed while running; the helper ends
};

/// What the capture helper is asked to watch for attribution besides the frames: nothing, the
/// kernel socket events, or the SYNs this host sends (for the socket tables).
enum class HelperAttribution { kNone, kEvents, kConnections };

/// The word on the helper's command line (`--attribution WORD`), and back.
std::string_view HelperAttributionArgument(HelperAttribution attribution);
std::optional<HelperAttribution> ParseHelperAttribution(std::string_view argument);

/// What Ravelin sends the other way: one byte per request.
constexpr std::uint8_t kStatisticsRequest = 'S';

/// A frame of the largest snapshot, a name or a reason: nothing the helper sends is larger.
constexpr std::size_t kMaxCapturePayload = std::size_t{1} << 18;

struct CaptureRecord {
    CaptureRecordType type{};
    std::span<const std::uint8_t> payload;
};

/// Appends records to a buffer that is written to the stream in one piece.
class CaptureRecordWriter {
public:
    void Events(bool loaded, std::string_view whyNot);
    void Step(std::uint32_t step, const SystemError* failure);
    void Ready(int linkType);
    void Frame(CaptureTime time, std::uint32_t originalLength, std::span<const std::uint8_t> frame);
    void Raw(CaptureRecordType type, std::span<const std::uint8_t> payload);
    void Statistics(std::uint64_t received, std::uint64_t dropped);
    void Failure(const SystemError& error);

    std::span<const std::uint8_t> bytes() const { return buffer_; }
    bool empty() const { return buffer_.empty(); }
    void Clear() { buffer_.clear(); }

private:
    void Header(CaptureRecordType type, std::size_t length);
    template <typename T>
    void Put(const T& value);
    void Put(std::span<const std::uint8_t> bytes);
    void PutText(std::string_view text);

    std::vector<std::uint8_t> buffer_;
};

/// Cuts records out of the bytes read so far.
enum class NextRecord { kRecord, kIncomplete, kMalformed };
/// The record at the start of `bytes`: kRecord with `record` and its size in `used`;
/// kIncomplete when more bytes must come first; kMalformed for an unknown type or a length
/// beyond kMaxCapturePayload.
NextRecord ReadCaptureRecord(std::span<const std::uint8_t> bytes, CaptureRecord& record,
                             std::size_t& used);

/// The payloads, read back; nothing where a payload is too short for its fixed part.
struct EventsPayload {
    bool loaded = false;
    std::string whyNot;
};
std::optional<EventsPayload> ReadEventsPayload(std::span<const std::uint8_t> payload);

struct StepPayload {
    std::uint32_t step = 0;
    std::optional<SystemError> failure;
};
std::optional<StepPayload> ReadStepPayload(std::span<const std::uint8_t> payload);

std::optional<int> ReadReadyPayload(std::span<const std::uint8_t> payload);

struct FramePayload {
    CaptureTime time;
    std::uint32_t originalLength = 0;
    std::span<const std::uint8_t> frame;
};
std::optional<FramePayload> ReadFramePayload(std::span<const std::uint8_t> payload);

std::optional<CaptureStatistics> ReadStatisticsPayload(std::span<const std::uint8_t> payload);

std::optional<SystemError> ReadFailurePayload(std::span<const std::uint8_t> payload);

}  // namespace ravelin
