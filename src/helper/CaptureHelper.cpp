#include "helper/CaptureHelper.h"

#include <linux/close_range.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include "attribution/linux/SynSocket.h"
#include "base/UniqueFd.h"
#include "capture/CaptureRecords.h"
#include "helper/LiveCapture.h"
#include "helper/Sandbox.h"

#ifdef RAVELIN_HAVE_BPF
#include "attribution/linux/KernelSocketEvents.h"
#endif

namespace ravelin {

namespace {

// Frames read from the ring between two writes, and the bytes they may take: the ring hands
// over a block at a time, and a larger write costs Ravelin fewer reads.
constexpr std::size_t kFramesPerRead = 4096;
constexpr std::size_t kBytesPerWrite = std::size_t{1} << 20;
// A wait for traffic ends this often, so that events without traffic still go out.
constexpr int kPollTimeoutMs = 250;
// What the stream may hold ahead of Ravelin, set while the right to do so lasts: a burst then
// waits there rather than in the kernel's ring, which drops what does not fit.
constexpr int kStreamBufferBytes = 8 << 20;

// Writes every byte, waiting while Ravelin reads; false once Ravelin is gone.
bool WriteAll(int stream, std::span<const std::uint8_t> first,
              std::span<const std::uint8_t> second = {}, std::span<const std::uint8_t> third = {}) {
    std::array<iovec, 3> parts = {{{const_cast<std::uint8_t*>(first.data()), first.size()},
                                   {const_cast<std::uint8_t*>(second.data()), second.size()},
                                   {const_cast<std::uint8_t*>(third.data()), third.size()}}};
    std::size_t index = 0;
    while (index < parts.size()) {
        if (parts[index].iov_len == 0) {
            ++index;
            continue;
        }
        const ssize_t written =
            writev(stream, &parts[index], static_cast<int>(parts.size() - index));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto left = static_cast<std::size_t>(written);
        while (index < parts.size() && left >= parts[index].iov_len) {
            left -= parts[index].iov_len;
            ++index;
        }
        if (index < parts.size()) {
            parts[index].iov_base = static_cast<std::uint8_t*>(parts[index].iov_base) + left;
            parts[index].iov_len -= left;
        }
    }
    return true;
}

int Fail(int stream, CaptureRecordWriter& out, const SystemError& error) {
    out.Failure(error);
    WriteAll(stream, out.bytes());
    return 1;
}

struct Watches {
#ifdef RAVELIN_HAVE_BPF
    std::unique_ptr<KernelSocketEvents> events;
#endif
    UniqueFd syns;
};

void LoadEvents(Watches& attribution, CaptureRecordWriter& out) {
#ifdef RAVELIN_HAVE_BPF
    KernelSocketEvents::Loaded loaded = KernelSocketEvents::Load();
    out.Events(loaded.events != nullptr, loaded.reason);
    attribution.events = std::move(loaded.events);
#else
    (void)attribution;
    out.Events(false, "not built with eBPF");
#endif
}

void DrainEvents(Watches& attribution, CaptureRecordWriter& out) {
#ifdef RAVELIN_HAVE_BPF
    if (attribution.events != nullptr) {
        attribution.events->DrainRecords([&out](std::span<const std::uint8_t> record) {
            out.Raw(CaptureRecordType::kSocketEvent, record);
        });
    }
#else
    (void)attribution;
    (void)out;
#endif
}

void DrainSyns(const UniqueFd& syns, CaptureRecordWriter& out) {
    if (!syns.valid()) return;
    std::array<std::uint8_t, kKeptSynBytes> datagram{};
    ssize_t length;
    while ((length = recv(syns.get(), datagram.data(), datagram.size(), MSG_DONTWAIT)) >= 0) {
        out.Raw(CaptureRecordType::kSyn,
                std::span(datagram).first(static_cast<std::size_t>(length)));
    }
}

// The four steps Ravelin reports one by one, each told as it ends; false after a failure.
bool OpenCapture(const HelperOptions& options, LiveCapture& capture, CaptureRecordWriter& out) {
    const std::array<CallResult (*)(LiveCapture&, const HelperOptions&), 4> steps = {
        [](LiveCapture& c, const HelperOptions& o) { return c.Create(o.device); },
        [](LiveCapture& c, const HelperOptions&) { return c.Configure(); },
        [](LiveCapture& c, const HelperOptions&) { return c.Activate(); },
        [](LiveCapture& c, const HelperOptions& o) { return c.SetFilter(o.inboundOnly); },
    };
    for (std::uint32_t step = 0; step < steps.size(); ++step) {
        const CallResult result = steps[step](capture, options);
        out.Step(step, result.succeeded() ? nullptr : &result.error());
        if (!result.succeeded()) return false;
    }
    return true;
}

}  // namespace

std::optional<HelperOptions> ParseHelperArguments(const std::vector<std::string>& arguments,
                                                  std::string& error) {
    HelperOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--device" && hasValue) {
            options.device = arguments[++i];
        } else if (argument == "--inbound-only") {
            options.inboundOnly = true;
        } else if (argument == "--attribution" && hasValue) {
            const auto attribution = ParseHelperAttribution(arguments[++i]);
            if (!attribution) {
                error = "unknown attribution " + arguments[i];
                return std::nullopt;
            }
            options.attribution = *attribution;
        } else if (argument == "--probe-events") {
            options.probeEvents = true;
        } else {
            error = "unknown or incomplete option " + argument;
            return std::nullopt;
        }
    }
    if (!options.probeEvents && options.device.empty()) {
        error = "no --device";
        return std::nullopt;
    }
    return options;
}

int RunCaptureHelper(const HelperOptions& options, int stream) {
    struct stat streamStat {};
    if (fstat(stream, &streamStat) != 0 || !S_ISSOCK(streamStat.st_mode)) {
        (void)std::fputs("ravelin-capture: descriptor 3 is not Ravelin's socket\n", stderr);
        return 2;
    }
    // Nothing Ravelin's process had open but the stream is ours to keep.
    close_range(static_cast<unsigned>(stream) + 1, ~0U, 0);
    // Ravelin's end going away ends us through a failed write, not a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);

    CaptureRecordWriter out;
    Watches attribution;
    if (options.probeEvents) {
        LoadEvents(attribution, out);
        return WriteAll(stream, out.bytes()) ? 0 : 1;
    }
    // Loaded before capture opens, so that every captured packet's socket was seen.
    if (options.attribution == HelperAttribution::kEvents) LoadEvents(attribution, out);
    if (options.attribution == HelperAttribution::kConnections) {
        attribution.syns = OpenOutgoingSynSocket();
    }
    LiveCapture capture;
    if (!OpenCapture(options, capture, out)) return WriteAll(stream, out.bytes()), 1;
    setsockopt(stream, SOL_SOCKET, SO_SNDBUFFORCE, &kStreamBufferBytes, sizeof kStreamBufferBytes);

    LockDownResult lockDown;
    if (!LockDown(lockDown)) {
        return Fail(stream, out, {EPERM, "cannot give up the capture rights: " + lockDown.problem});
    }
    if (!lockDown.problem.empty()) {
        (void)std::fprintf(stderr, "ravelin-capture: %s\n", lockDown.problem.c_str());
    }
    out.Ready(capture.linkType());
    if (!WriteAll(stream, out.bytes())) return 0;

    CaptureRecordWriter front;  // the events and SYNs that explain the frames
    CaptureRecordWriter frames;
    CaptureRecordWriter back;  // counts asked for, after the frames they count
    for (;;) {
        std::array<pollfd, 3> fds = {{{stream, POLLIN, 0},
                                      {capture.descriptor(), POLLIN, 0},
                                      {attribution.syns.get(), POLLIN, 0}}};
        const nfds_t watched = attribution.syns.valid() ? 3 : 2;
        if (poll(fds.data(), watched, kPollTimeoutMs) < 0 && errno != EINTR) {
            return Fail(stream, front, SystemError::FromErrno(errno));
        }
        front.Clear();
        frames.Clear();
        back.Clear();
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return 0;
        if ((fds[0].revents & POLLIN) != 0) {
            std::array<std::uint8_t, 64> requests{};
            const ssize_t length = read(stream, requests.data(), requests.size());
            if (length == 0 || (length < 0 && errno != EINTR && errno != EAGAIN)) return 0;
            for (ssize_t i = 0; i < length; ++i) {
                if (requests[static_cast<std::size_t>(i)] == kStatisticsRequest) {
                    const auto counts = capture.Statistics();
                    back.Statistics(counts ? counts->received : 0, counts ? counts->dropped : 0);
                }
            }
        }
        // Frames first, then the events: an event is written before its packet reaches the
        // ring, so draining after reading catches every event of every frame read.
        SystemError error;
        std::optional<std::size_t> read;
        read = capture.Read(frames, kFramesPerRead, kBytesPerWrite, error);
        DrainEvents(attribution, front);
        DrainSyns(attribution.syns, front);
        if (!read) {
            // What was read before the device failed still goes out, then why it ended.
            back.Failure(error);
            WriteAll(stream, front.bytes(), frames.bytes(), back.bytes());
            return 1;
        }
        if (!WriteAll(stream, front.bytes(), frames.bytes(), back.bytes())) return 0;
    }
}

}  // namespace ravelin
