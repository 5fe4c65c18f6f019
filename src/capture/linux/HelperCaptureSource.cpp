#include "capture/linux/HelperCaptureSource.h"

#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "capture/CaptureSession.h"
#include "decode/LinkLayer.h"

namespace ravelin {

namespace {

// One read from the stream takes up to this much; a record of any size still fits behind it.
constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr std::size_t kBufferBytes = kReadBytes + kMaxCapturePayload + 8;
// A read waits at most this long, so that a missed wake-up can never hang the receive thread.
constexpr int kReadWaitMs = 250;
constexpr auto kStatisticsWait = std::chrono::milliseconds(200);

constexpr std::uint32_t kLastStep = 3;

}  // namespace

HelperCaptureSource::HelperCaptureSource(IpAddress boundAddress, std::string helperPath,
                                         HelperAttribution attribution,
                                         std::shared_ptr<HelperSideRecords> side,
                                         StartedHelper started)
    : boundAddress_(boundAddress),
      helperPath_(std::move(helperPath)),
      attribution_(attribution),
      side_(std::move(side)),
      started_(std::move(started)) {}

HelperCaptureSource::~HelperCaptureSource() = default;

CallResult HelperCaptureSource::Fail(SystemError error) {
    lastError_ = std::move(error);
    failed_ = true;
    if (helper_ != nullptr) helper_->Kill();
    return CallResult::Failure(lastError_);
}

CallResult HelperCaptureSource::Create() {
    wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) return Fail(SystemError::FromErrno(errno));
    buffer_.resize(kBufferBytes);

    const std::vector<std::string> arguments =
        HelperArguments(boundAddress_, attribution_, device_, addressFound_);
    if (started_.process != nullptr && started_.arguments == arguments) {
        helper_ = std::move(started_.process);
        return AwaitStep(0);
    }
    started_.process.reset();  // started for another device: it ends here

    SystemError error;
    helper_ = HelperProcess::Start(helperPath_, arguments, error);
    if (helper_ == nullptr) return Fail(std::move(error));
    return AwaitStep(0);
}

CallResult HelperCaptureSource::Configure() {
    if (failed_) return CallResult::Failure(lastError_);
    return AwaitStep(1);
}

CallResult HelperCaptureSource::Bind() {
    if (failed_) return CallResult::Failure(lastError_);
    if (!addressFound_) {
        return Fail({EADDRNOTAVAIL, std::string("no interface has the address ") +
                                        std::string(boundAddress_.text().view())});
    }
    return AwaitStep(2);
}

CallResult HelperCaptureSource::SetFilter() {
    if (failed_) return CallResult::Failure(lastError_);
    if (CallResult filtered = AwaitStep(kLastStep); !filtered.succeeded()) return filtered;
    // Then the helper gives up its rights and says it runs.
    return AwaitStep(kLastStep + 1);
}

CallResult HelperCaptureSource::AwaitStep(std::uint32_t step) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHelperSetUpWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        CaptureRecord record;
        const Wanted got =
            NextRecord(record, static_cast<int>(std::max<std::int64_t>(left.count(), 0)), false);
        if (got == Wanted::kFailed) return CallResult::Failure(lastError_);
        if (got == Wanted::kStopped) {
            return Fail({ETIMEDOUT, "the capture helper did not answer for " +
                                        std::to_string(kHelperSetUpWaitMs / 1000) + " seconds"});
        }
        switch (record.type) {
            case CaptureRecordType::kEvents:
                continue;  // asked for at start-up already; a helper that could not load
                           // them now captures all the same, and the tables answer
            case CaptureRecordType::kSocketEvent:
            case CaptureRecordType::kSyn:
                HandOn(record);
                continue;
            case CaptureRecordType::kFailure: {
                const auto failure = ReadFailurePayload(record.payload);
                return Fail(failure ? *failure : Malformed("failure"));
            }
            case CaptureRecordType::kStep: {
                const auto done = ReadStepPayload(record.payload);
                if (!done || done->step != step) return Fail(Malformed("step"));
                if (!done->failure) return CallResult::Success();
                SystemError failure = *done->failure;
                if (step == 2 && failure.code == PCAP_ERROR_PERM_DENIED) {
                    failure.reason +=
                        " (the capture helper " + helperPath_ +
                        " lacks its capabilities: scripts/start.sh grants them, as installing "
                        "the package does)";
                }
                return Fail(std::move(failure));
            }
            case CaptureRecordType::kReady: {
                const auto linkType = ReadReadyPayload(record.payload);
                if (step != kLastStep + 1 || !linkType) return Fail(Malformed("ready"));
                linkType_ = *linkType;
                if (!IsSupportedLinkType(linkType_)) {
                    return Fail({PCAP_ERROR,
                                 device_ + ": unsupported link type " + std::to_string(linkType_)});
                }
                return CallResult::Success();
            }
            default:
                return Fail(Malformed("set-up"));
        }
    }
}

HelperCaptureSource::Wanted HelperCaptureSource::NextRecord(CaptureRecord& record, int waitMs,
                                                            bool interruptible) {
    for (;;) {
        std::size_t used = 0;
        const auto waiting = std::span<const std::uint8_t>(buffer_).subspan(begin_, end_ - begin_);
        switch (ReadCaptureRecord(waiting, record, used)) {
            case NextRecord::kRecord:
                begin_ += used;
                return Wanted::kRecord;
            case NextRecord::kMalformed:
                Fail(Malformed("record"));
                return Wanted::kFailed;
            case NextRecord::kIncomplete:
                break;
        }
        bool stopped = false;
        if (!FillBuffer(waitMs, interruptible, stopped)) return Wanted::kFailed;
        if (stopped) return Wanted::kStopped;
    }
}

bool HelperCaptureSource::FillBuffer(int waitMs, bool interruptible, bool& stopped) {
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    pollfd fds[2] = {{helper_->stream(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    const int ready = poll(fds, interruptible ? 2 : 1, waitMs);
    if (ready < 0) {
        if (errno == EINTR) return true;
        Fail(SystemError::FromErrno(errno));
        return false;
    }
    if (ready == 0) {
        stopped = true;
        return true;
    }
    if (interruptible && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto ignored = read(wake_.get(), &count, sizeof count);
        stopped = true;
        return true;
    }
    const ssize_t length = read(helper_->stream(), buffer_.data() + end_, buffer_.size() - end_);
    if (length > 0) {
        end_ += static_cast<std::size_t>(length);
        return true;
    }
    if (length < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    Fail(Ended());
    return false;
}

SystemError HelperCaptureSource::Ended() {
    // Bytes of a record cut short are not listed: the helper died while writing it.
    return {EPIPE, "the capture helper ended unexpectedly (" + helper_->HowItEnded() + ")"};
}

SystemError HelperCaptureSource::Malformed(const char* what) {
    return {EPROTO, std::string("the capture helper sent a malformed ") + what +
                        " record; capture stopped"};
}

void HelperCaptureSource::HandOn(const CaptureRecord& record) {
    if (record.type == CaptureRecordType::kStatistics) {
        if (const auto counts = ReadStatisticsPayload(record.payload)) {
            {
                const std::lock_guard lock(statisticsMutex_);
                statistics_ = counts;
                ++statisticsCount_;
            }
            statisticsArrived_.notify_all();
        }
        return;
    }
    if (side_ == nullptr) return;
    if (record.type == CaptureRecordType::kSocketEvent) side_->OnSocketEvent(record.payload);
    if (record.type == CaptureRecordType::kSyn) side_->OnSyn(record.payload);
}

PacketSource::ReadResult HelperCaptureSource::Read(DatagramBatch& batch, std::size_t maxDatagrams) {
    if (failed_ || helper_ == nullptr) {
        if (!failed_) lastError_ = {EPIPE, "the capture helper is not running"};
        return ReadResult::kError;
    }
    std::size_t frames = 0;
    bool waited = false;
    // Whatever the datagrams' sizes, a batch stays small enough to be reused: a large one is
    // freed, and a fresh one costs a page fault per page filled.
    while (frames < maxDatagrams && batch.byteCount() < CaptureSession::kBatchBytes) {
        CaptureRecord record;
        // Waits only while nothing came: what has arrived goes on at once.
        const Wanted got = NextRecord(record, waited ? 0 : kReadWaitMs, true);
        waited = true;
        if (got == Wanted::kStopped) break;
        if (got == Wanted::kFailed) return ReadResult::kError;
        switch (record.type) {
            case CaptureRecordType::kFrame: {
                const auto frame = ReadFramePayload(record.payload);
                if (!frame) {
                    Fail(Malformed("frame"));
                    return ReadResult::kError;
                }
                ++frames;
                const auto datagram = ExtractIpDatagram(linkType_, frame->frame);
                if (!datagram) break;
                batch.Add({frame->frame,
                           static_cast<std::size_t>(datagram->data() - frame->frame.data()),
                           datagram->size(),
                           linkType_,
                           frame->originalLength,
                           frame->time,
                           {}});
                break;
            }
            case CaptureRecordType::kFailure: {
                const auto failure = ReadFailurePayload(record.payload);
                Fail(failure ? *failure : Malformed("failure"));
                return ReadResult::kError;
            }
            case CaptureRecordType::kSocketEvent:
            case CaptureRecordType::kSyn:
            case CaptureRecordType::kStatistics:
                HandOn(record);
                break;
            default:
                Fail(Malformed("capture"));
                return ReadResult::kError;
        }
    }
    return ReadResult::kData;
}

void HelperCaptureSource::Interrupt() {
    if (!wake_.valid()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = write(wake_.get(), &one, sizeof one);
}

std::optional<CaptureStatistics> HelperCaptureSource::Statistics() {
    std::unique_lock lock(statisticsMutex_);
    // A request still unanswered means the receive thread is busy (waiting for the pipeline,
    // say): the window's thread must not wait for it again, and the last counts stand in.
    if (helper_ == nullptr || failed_ || statisticsAsked_ > statisticsCount_) return statistics_;
    const std::uint64_t answered = statisticsCount_;
    ++statisticsAsked_;
    lock.unlock();
    const std::uint8_t request = kStatisticsRequest;
    // A helper that is gone must not end Ravelin with SIGPIPE.
    const bool sent = send(helper_->stream(), &request, 1, MSG_NOSIGNAL) == 1;
    lock.lock();
    if (!sent) {
        --statisticsAsked_;
        return statistics_;
    }
    statisticsArrived_.wait_for(lock, kStatisticsWait, [&] { return statisticsCount_ > answered; });
    return statistics_;
}

}  // namespace ravelin
