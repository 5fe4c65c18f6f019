#include "capture/CaptureRecords.h"

#include <cstring>

namespace ravelin {

namespace {

constexpr std::size_t kHeaderBytes = 8;

template <typename T>
bool Take(std::span<const std::uint8_t>& payload, T& value) {
    if (payload.size() < sizeof(T)) return false;
    std::memcpy(&value, payload.data(), sizeof(T));
    payload = payload.subspan(sizeof(T));
    return true;
}

std::string Text(std::span<const std::uint8_t> payload) {
    return {reinterpret_cast<const char*>(payload.data()), payload.size()};
}

// A reason longer than a record holds is cut, never sent as a malformed record.
std::string_view Clipped(std::string_view text) {
    return text.substr(0, kMaxCapturePayload - 16);
}

bool Known(std::uint32_t type) {
    return type >= static_cast<std::uint32_t>(CaptureRecordType::kEvents) &&
           type <= static_cast<std::uint32_t>(CaptureRecordType::kFailure);
}

}  // namespace

std::string_view HelperAttributionArgument(HelperAttribution attribution) {
    switch (attribution) {
        case HelperAttribution::kEvents:
            return "events";
        case HelperAttribution::kConnections:
            return "connections";
        case HelperAttribution::kNone:
            break;
    }
    return "none";
}

std::optional<HelperAttribution> ParseHelperAttribution(std::string_view argument) {
    for (const auto attribution :
         {HelperAttribution::kNone, HelperAttribution::kEvents, HelperAttribution::kConnections}) {
        if (argument == HelperAttributionArgument(attribution)) return attribution;
    }
    return std::nullopt;
}

template <typename T>
void CaptureRecordWriter::Put(const T& value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    buffer_.insert(buffer_.end(), bytes, bytes + sizeof(T));
}

void CaptureRecordWriter::Put(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void CaptureRecordWriter::PutText(std::string_view text) {
    Put(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void CaptureRecordWriter::Header(CaptureRecordType type, std::size_t length) {
    Put(static_cast<std::uint32_t>(type));
    Put(static_cast<std::uint32_t>(length));
}

void CaptureRecordWriter::Events(bool loaded, std::string_view whyNot) {
    whyNot = Clipped(whyNot);
    Header(CaptureRecordType::kEvents, 4 + whyNot.size());
    Put(static_cast<std::uint32_t>(loaded ? 1 : 0));
    PutText(whyNot);
}

void CaptureRecordWriter::Step(std::uint32_t step, const SystemError* failure) {
    const std::string_view reason =
        failure != nullptr ? Clipped(failure->reason) : std::string_view();
    Header(CaptureRecordType::kStep, 9 + reason.size());
    Put(step);
    Put(static_cast<std::uint8_t>(failure != nullptr ? 1 : 0));
    Put(static_cast<std::int32_t>(failure != nullptr ? failure->code : 0));
    PutText(reason);
}

void CaptureRecordWriter::Ready(int linkType) {
    Header(CaptureRecordType::kReady, 4);
    Put(static_cast<std::int32_t>(linkType));
}

void CaptureRecordWriter::Frame(CaptureTime time, std::uint32_t originalLength,
                                std::span<const std::uint8_t> frame) {
    frame = frame.subspan(0, std::min(frame.size(), kMaxCapturePayload - 16));
    Header(CaptureRecordType::kFrame, 16 + frame.size());
    Put(time.seconds);
    Put(time.microseconds);
    Put(originalLength);
    Put(frame);
}

void CaptureRecordWriter::Raw(CaptureRecordType type, std::span<const std::uint8_t> payload) {
    payload = payload.subspan(0, std::min(payload.size(), kMaxCapturePayload));
    Header(type, payload.size());
    Put(payload);
}

void CaptureRecordWriter::Statistics(std::uint64_t received, std::uint64_t dropped) {
    Header(CaptureRecordType::kStatistics, 16);
    Put(received);
    Put(dropped);
}

void CaptureRecordWriter::Failure(const SystemError& error) {
    const std::string_view reason = Clipped(error.reason);
    Header(CaptureRecordType::kFailure, 4 + reason.size());
    Put(static_cast<std::int32_t>(error.code));
    PutText(reason);
}

NextRecord ReadCaptureRecord(std::span<const std::uint8_t> bytes, CaptureRecord& record,
                             std::size_t& used) {
    std::uint32_t type = 0;
    std::uint32_t length = 0;
    if (!Take(bytes, type) || !Take(bytes, length)) return NextRecord::kIncomplete;
    if (!Known(type) || length > kMaxCapturePayload) return NextRecord::kMalformed;
    if (bytes.size() < length) return NextRecord::kIncomplete;
    record.type = static_cast<CaptureRecordType>(type);
    record.payload = bytes.first(length);
    used = kHeaderBytes + length;
    return NextRecord::kRecord;
}

std::optional<EventsPayload> ReadEventsPayload(std::span<const std::uint8_t> payload) {
    std::uint32_t loaded = 0;
    if (!Take(payload, loaded)) return std::nullopt;
    return EventsPayload{loaded != 0, Text(payload)};
}

std::optional<StepPayload> ReadStepPayload(std::span<const std::uint8_t> payload) {
    StepPayload step;
    std::uint8_t failed = 0;
    std::int32_t code = 0;
    if (!Take(payload, step.step) || !Take(payload, failed) || !Take(payload, code)) {
        return std::nullopt;
    }
    if (failed != 0) step.failure = SystemError{code, Text(payload)};
    return step;
}

std::optional<int> ReadReadyPayload(std::span<const std::uint8_t> payload) {
    std::int32_t linkType = 0;
    if (!Take(payload, linkType)) return std::nullopt;
    return linkType;
}

std::optional<FramePayload> ReadFramePayload(std::span<const std::uint8_t> payload) {
    FramePayload frame;
    if (!Take(payload, frame.time.seconds) || !Take(payload, frame.time.microseconds) ||
        !Take(payload, frame.originalLength)) {
        return std::nullopt;
    }
    frame.frame = payload;
    return frame;
}

std::optional<CaptureStatistics> ReadStatisticsPayload(std::span<const std::uint8_t> payload) {
    CaptureStatistics statistics;
    if (!Take(payload, statistics.received) || !Take(payload, statistics.dropped)) {
        return std::nullopt;
    }
    return statistics;
}

std::optional<SystemError> ReadFailurePayload(std::span<const std::uint8_t> payload) {
    std::int32_t code = 0;
    if (!Take(payload, code)) return std::nullopt;
    return SystemError{code, Text(payload)};
}

}  // namespace ravelin
