#include "capture/CaptureSession.h"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "decode/TextForms.h"

namespace ravelin {

namespace {

// The calling thread gives way to every other thread that wants a core: on Linux a thread has
// its own nice value. A thread only ever raises it, which needs no rights; it ends with the
// capture that started it.
void YieldTheCpu() {
    constexpr int kLowestPriority = 19;
    (void)setpriority(PRIO_PROCESS, 0, kLowestPriority);
}

// What top -H, perf and /proc show for the thread (15 bytes at most).
void NameThisThread(const char* name) {
    (void)pthread_setname_np(pthread_self(), name);
}

constexpr std::string_view kThreadStartMessage = "CreateThread 启动监听线程失败";
constexpr std::string_view kReceiveMessage = "recv 接收包失败";
// The rows listed so far keep their bytes (what could not be written stays in memory).
constexpr std::string_view kListingMessage =
    "pwrite 写入负载缓存文件失败，抓包已停止，已列出的包仍可查看";

}  // namespace

CaptureSession::CaptureSession(SessionHost& host, DatagramSink& pipeline,
                               SourceFactory sourceFactory)
    : host_(host), pipeline_(pipeline), sourceFactory_(std::move(sourceFactory)) {}

CaptureSession::~CaptureSession() {
    Stop();
}

IpAddress CaptureSession::boundAddress() const {
    const std::lock_guard lock(boundMutex_);
    return boundAddress_;
}

std::string CaptureSession::boundAddressText() const {
    return std::string(boundAddress().text().view());
}

std::optional<std::chrono::steady_clock::time_point> CaptureSession::firstReadTime() const {
    const std::int64_t nanoseconds = firstReadNanoseconds_.load();
    if (nanoseconds == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nanoseconds));
}

std::optional<CaptureStatistics> CaptureSession::Statistics() {
    return source_ != nullptr ? source_->Statistics() : std::nullopt;
}

bool CaptureSession::CheckStep(const CallResult& result, PacketSource::Step step) {
    if (CheckCall(result, source_->StepMessage(step), host_.reporter(),
                  PassedErrors::kOptionalCaptureFeature)) {
        return true;
    }
    source_.reset();
    return false;
}

bool CaptureSession::Start() {
    if (source_ != nullptr) Stop();

    source_ = sourceFactory_(boundAddress());
    if (!CheckStep(source_->Create(), PacketSource::Step::kCreate)) return false;
    if (!CheckStep(source_->Configure(), PacketSource::Step::kConfigure)) return false;
    if (!CheckStep(source_->Bind(), PacketSource::Step::kBind)) return false;
    if (!CheckStep(source_->SetFilter(), PacketSource::Step::kFilter)) return false;

    {
        std::lock_guard lock(failureMutex_);
        receiveFailure_.reset();
        listingFailure_.reset();
        receiveFailureRepeated_ = false;
    }
    firstReadNanoseconds_.store(0);
    queue_ = std::make_unique<DatagramQueue>(
        kQueuedBatches, source_->canWait() ? kWaitingSourceQueuedBytes : kQueuedBytes);
    running_.store(true);
    const bool yield = yieldWhileReplaying_ && source_->canWait();
    try {
        pipelineThread_ = std::thread([this, yield, queue = queue_.get()] {
            NameThisThread("pipeline");
            if (yield) YieldTheCpu();
            PipelineLoop(*queue);
        });
        receiveThread_ = std::thread([this, yield, source = source_.get(), queue = queue_.get()] {
            NameThisThread("receive");
            if (yield) YieldTheCpu();
            ReceiveLoop(*source, *queue);
        });
    } catch (const std::system_error& failure) {
        CheckCall(CallResult::Failure({failure.code().value(), failure.what()}),
                  kThreadStartMessage, host_.reporter());
        Stop();
        return false;
    }
    host_.OnStateChanged(CaptureState::kRunning);
    return true;
}

bool CaptureSession::Stop() {
    // A source is open from a successful Start until here, also when capture ended by itself.
    const bool started = source_ != nullptr;
    running_.store(false);
    {
        // Taken so that a receive thread about to wait sees running_ clear or is woken.
        std::lock_guard lock(retryMutex_);
    }
    retryWake_.notify_all();
    if (source_ != nullptr) source_->Interrupt();
    if (receiveThread_.joinable()) receiveThread_.join();
    // Whatever is still queued is dropped.
    if (queue_ != nullptr) queue_->Cancel();
    if (pipelineThread_.joinable()) pipelineThread_.join();
    queue_.reset();
    source_.reset();
    if (started) host_.OnStateChanged(CaptureState::kStopped);
    return true;
}

int CaptureSession::OnAddressChosen(const IpAddress& address) {
    {
        const std::lock_guard lock(boundMutex_);
        boundAddress_ = address;
    }
    if (!running_.load()) return 0;
    Stop();
    return Start() ? 1 : 0;
}

void CaptureSession::OnStartStop() {
    if (running_.load()) {
        Stop();
    } else {
        Start();
    }
}

bool CaptureSession::FinishEndedCapture() {
    std::optional<SystemError> failure;
    std::optional<SystemError> listingFailure;
    bool repeated = false;
    {
        std::lock_guard lock(failureMutex_);
        failure.swap(receiveFailure_);
        listingFailure.swap(listingFailure_);
        repeated = receiveFailureRepeated_;
    }
    if (listingFailure) {
        CheckCall(CallResult::Failure(*listingFailure), kListingMessage, host_.reporter());
        Stop();
        return false;
    }
    // An error that is let pass once, but came back every time, is reported after all.
    const bool reported =
        failure &&
        !CheckCall(CallResult::Failure(*failure), kReceiveMessage, host_.reporter(),
                   repeated ? PassedErrors::kNone : PassedErrors::kOptionalCaptureFeature);
    Stop();
    return !reported;
}

bool CaptureSession::WaitBeforeRetry(std::chrono::milliseconds wait) {
    std::unique_lock lock(retryMutex_);
    return !retryWake_.wait_for(lock, wait, [&] { return !running_.load(); });
}

void CaptureSession::ReceiveLoop(PacketSource& source, DatagramQueue& queue) {
    // Passed errors in a row, and the wait before the next read: a source that fails the same
    // way at once every time must not keep a core busy.
    int passedErrors = 0;
    std::chrono::milliseconds retryWait = retry_.firstWait;
    std::size_t wanted = kBatchDatagrams;
    while (true) {
        auto batch = queue.TakeEmpty();
        const auto result = source.Read(*batch, wanted);
        if (!running_.load()) break;
        if (!batch->empty()) {
            // The next batch is sized by these datagrams' mean size.
            const std::size_t mean = std::max<std::size_t>(batch->byteCount() / batch->size(), 1);
            wanted = std::clamp<std::size_t>(kBatchBytes / mean, 1, kBatchDatagrams);
            if (firstReadNanoseconds_.load(std::memory_order_relaxed) == 0) {
                firstReadNanoseconds_.store(
                    std::chrono::steady_clock::now().time_since_epoch().count());
            }
            if (!queue.Push(std::move(batch))) break;
        } else {
            queue.GiveBack(std::move(batch));
        }
        if (result == PacketSource::ReadResult::kEnd) {
            queue.Close();
            break;
        }
        if (result != PacketSource::ReadResult::kError) {
            passedErrors = 0;
            retryWait = retry_.firstWait;
            continue;
        }
        SystemError error = source.lastError();
        const bool passed = IsPassedError(error, PassedErrors::kOptionalCaptureFeature);
        if (passed && ++passedErrors < retry_.limit) {
            if (!WaitBeforeRetry(retryWait)) break;
            retryWait = std::min(retryWait * 2, retry_.longestWait);
            continue;
        }
        {
            std::lock_guard lock(failureMutex_);
            if (passed) error.reason += " (" + std::to_string(passedErrors) + " times in a row)";
            receiveFailure_ = std::move(error);
            receiveFailureRepeated_ = passed;
        }
        // What was read before the failure is still listed; then the owner stops.
        queue.Close();
        break;
    }
}

void CaptureSession::PipelineLoop(DatagramQueue& queue) {
    // A datagram that was dropped still counts (the sink's traffic counters), so the end of a
    // batch is told whenever one was handed over.
    bool processedSinceBatchEnd = false;
    while (auto batch = queue.Pop()) {
        bool failed = false;
        const IpAddress bound = boundAddress();
        pipeline_.BeginBatch();
        for (std::size_t i = 0; i < batch->size(); ++i) {
            if (!running_.load(std::memory_order_relaxed)) break;
            const bool listed = pipeline_.Process((*batch)[i], bound);
            processedSinceBatchEnd = true;
            if (!listed && pipeline_.failure()) {
                failed = true;
                break;
            }
        }
        if (!failed) {
            pipeline_.SettleBatch();
            failed = pipeline_.failure().has_value();
        }
        queue.GiveBack(std::move(batch));
        if (failed) {
            {
                std::lock_guard lock(failureMutex_);
                listingFailure_ = pipeline_.failure();
            }
            // Nothing more can be listed: the receive thread stops at its next batch.
            queue.Cancel();
            break;
        }
        if (processedSinceBatchEnd && !queue.HasQueued()) {
            pipeline_.EndBatch();
            processedSinceBatchEnd = false;
        }
    }
    if (processedSinceBatchEnd) pipeline_.EndBatch();
    // Pop ends when Stop cancels the queue or when the receive thread closed it; only the
    // latter is an end the owner has not asked for.
    if (running_.load()) host_.OnCaptureEnded();
}

}  // namespace ravelin
