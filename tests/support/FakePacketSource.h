#pragma once

#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/PacketSource.h"
#include "decode/IpAddress.h"
#include "support/Gate.h"

namespace ravelin::test {

/// What a fake source does, shared with the test so that it can be inspected after the
/// session has destroyed the source.
struct FakeSourceScript {
    std::vector<std::vector<std::uint8_t>> datagrams;
    /// Step results (0 succeeds, anything else fails) and the error a failing step leaves.
    int createResult = 0;
    int configureResult = 0;
    int bindResult = 0;
    int filterResult = 0;
    SystemError stepError{13, "not permitted"};
    /// After the datagrams: end like a file (true), or wait like an idle interface (false).
    bool endAfterDatagrams = true;
    /// Deliver the datagrams over and over, like a flood, and never end.
    bool repeatDatagrams = false;
    /// After the datagrams: fail with this error instead of ending.
    std::optional<SystemError> readFailure;
    /// Before handing out datagram `holdAt`, wait (at most 30 s) until `hold` opens.
    std::size_t holdAt = static_cast<std::size_t>(-1);
    Gate* hold = nullptr;
    /// The kernel's counters, as a live source reports them; read on the owner's thread.
    std::optional<CaptureStatistics> statistics;
    /// Whether the source can wait for the pipeline, as a file can.
    bool canWait = false;
    /// The nice value of the thread that read last.
    std::atomic<int> readerNice{0};

    std::atomic<int> reads{0};
    std::atomic<std::size_t> datagramsRead{0};
    std::atomic<int> sourcesCreated{0};
    std::atomic<int> sourcesDestroyed{0};
    std::atomic<int> interrupts{0};
    std::atomic<std::uint32_t> lastBoundAddress{0};
};

class FakePacketSource : public PacketSource {
public:
    FakePacketSource(std::shared_ptr<FakeSourceScript> script, const IpAddress& address)
        : script_(std::move(script)) {
        script_->sourcesCreated++;
        script_->lastBoundAddress = address.ipv4();
    }
    ~FakePacketSource() override { script_->sourcesDestroyed++; }

    CallResult Create() override { return Step(script_->createResult); }
    CallResult Configure() override { return Step(script_->configureResult); }
    CallResult Bind() override { return Step(script_->bindResult); }
    CallResult SetFilter() override { return Step(script_->filterResult); }

    ReadResult Read(DatagramBatch& batch, std::size_t maxDatagrams) override {
        script_->reads++;
        script_->readerNice = getpriority(PRIO_PROCESS, 0);
        if (next_ == script_->holdAt && script_->hold != nullptr && !held_) {
            held_ = true;
            if (!batch.empty()) return ReadResult::kData;
            script_->hold->WaitFor(std::chrono::seconds(30));
        }
        const std::size_t count = script_->datagrams.size();
        for (std::size_t n = 0;
             n < maxDatagrams && count > 0 && (next_ < count || script_->repeatDatagrams); ++n) {
            if (next_ == script_->holdAt && !held_ && script_->hold != nullptr) break;
            batch.Add(script_->datagrams[next_ % count],
                      {1700000000 + static_cast<std::int64_t>(next_), 0});
            ++next_;
            script_->datagramsRead++;
        }
        if (!batch.empty()) return ReadResult::kData;
        if (script_->readFailure) {
            lastError_ = *script_->readFailure;
            return ReadResult::kError;
        }
        if (script_->endAfterDatagrams) return ReadResult::kEnd;
        std::unique_lock lock(mutex_);
        woken_.wait_for(lock, std::chrono::milliseconds(200), [&] { return interrupted_; });
        interrupted_ = false;
        return ReadResult::kData;
    }

    std::optional<CaptureStatistics> Statistics() override { return script_->statistics; }
    bool canWait() const override { return script_->canWait; }

    void Interrupt() override {
        script_->interrupts++;
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        woken_.notify_all();
    }

private:
    CallResult Step(int result) {
        if (result == 0) return CallResult::Success();
        return CallResult::Failure(script_->stepError);
    }

    std::shared_ptr<FakeSourceScript> script_;
    std::size_t next_ = 0;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool interrupted_ = false;
    bool held_ = false;
};

}  // namespace ravelin::test
