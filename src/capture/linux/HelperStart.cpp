#include "capture/linux/HelperStart.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <thread>

#include "capture/Interfaces.h"

namespace ravelin {

namespace {

// Reads the stream's first record and nothing after it, so that what follows stays in the
// stream for whoever reads it next; false when none came whole in time.
bool ReadFirstRecord(int stream, std::vector<std::uint8_t>& bytes, CaptureRecord& record) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHelperSetUpWaitMs);
    bytes.resize(kMaxCapturePayload + 64);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{stream, POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t peeked = recv(stream, bytes.data(), bytes.size(), MSG_PEEK);
        if (peeked <= 0) return false;
        std::size_t used = 0;
        const NextRecord next = ReadCaptureRecord(
            std::span(bytes).first(static_cast<std::size_t>(peeked)), record, used);
        if (next == NextRecord::kMalformed) return false;
        if (next == NextRecord::kIncomplete) {
            // More is on its way: wait for it rather than peek the same bytes again at once.
            if (static_cast<std::size_t>(peeked) == bytes.size()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        // The record's payload points into `bytes`, which the reads below leave as they are.
        std::vector<std::uint8_t> taken(used);
        std::size_t done = 0;
        while (done < used) {
            const ssize_t length = read(stream, taken.data() + done, used - done);
            if (length <= 0) return false;
            done += static_cast<std::size_t>(length);
        }
        return true;
    }
}

// What the helper's first record says of the events: loaded or not, with why not; a helper
// that says nothing of them did not load them.
bool EventsLoaded(HelperProcess& helper, std::string& whyNot) {
    std::vector<std::uint8_t> bytes;
    CaptureRecord record;
    if (ReadFirstRecord(helper.stream(), bytes, record) &&
        record.type == CaptureRecordType::kEvents) {
        if (const auto events = ReadEventsPayload(record.payload)) {
            whyNot = events->whyNot;
            return events->loaded;
        }
    }
    whyNot = "the capture helper did not say (" + helper.HowItEnded() + ")";
    return false;
}

}  // namespace

std::vector<std::string> HelperArguments(const IpAddress& boundAddress,
                                         HelperAttribution attribution, std::string& device,
                                         bool& addressFound) {
    const auto interfaces = ListInterfaces();
    const auto found = DeviceForAddress(boundAddress, interfaces);
    addressFound = found.has_value();
    device = found.value_or("any");
    std::vector<std::string> arguments = {"--device", device, "--attribution",
                                          std::string(HelperAttributionArgument(attribution))};
    for (const InterfaceAddress& item : interfaces) {
        if (item.name == device && item.loopback) {
            arguments.emplace_back("--inbound-only");
            break;
        }
    }
    return arguments;
}

bool ProbeHelperEvents(const std::string& helperPath, std::string& whyNot) {
    SystemError error;
    const auto helper = HelperProcess::Start(helperPath, {"--probe-events"}, error);
    if (helper == nullptr) {
        whyNot = error.reason;
        return false;
    }
    return EventsLoaded(*helper, whyNot);
}

StartedHelper StartHelperWithEvents(const IpAddress& boundAddress, const std::string& helperPath,
                                    std::string& whyNot) {
    StartedHelper started;
    std::string device;
    bool addressFound = false;
    started.arguments =
        HelperArguments(boundAddress, HelperAttribution::kEvents, device, addressFound);
    SystemError error;
    started.process = HelperProcess::Start(helperPath, started.arguments, error);
    if (started.process == nullptr) {
        whyNot = error.reason;
        return {};
    }
    // The helper loads the events before it opens the device, and says how that went first.
    if (!EventsLoaded(*started.process, whyNot)) return {};
    return started;
}

}  // namespace ravelin
