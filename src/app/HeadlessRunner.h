#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "app/CommandLine.h"
#include "engine/CaptureController.h"

namespace ravelin {

/// Ravelin without a window: the same engine as the window's, with the rows printed to
/// standard output as they are listed.
class HeadlessRunner : public CaptureListener, public ErrorReporter, public ListingObserver {
public:
    /// `options` as HeadlessOptions makes them from `commandLine`.
    HeadlessRunner(const CommandLine& commandLine, SystemServices services, MonitorOptions options,
                   std::FILE* output, std::FILE* errors);
    ~HeadlessRunner() override;

    /// Runs until the source ends, the count or duration is reached, or SIGINT/SIGTERM.
    /// Returns the process exit code: 0, or 1 when the source failed.
    int Run();

    // CaptureListener
    ErrorReporter& reporter() override { return *this; }
    void OnEndReached() override { ended_.store(true); }

    // ErrorReporter
    void ShowError(std::string_view text) override;

    // ListingObserver, on the pipeline thread
    void OnPacketListed(int row, int owner) override;
    void OnRequestListed(int row) override;
    void OnBatchEnd() override;

private:
    void WaitForEnd();
    void Flush();
    void PrintMarks();
    /// A block of --print processes: the counts as of the batches ended so far.
    void PrintProcesses();

    const CommandLine& commandLine_;
    std::FILE* output_;
    std::FILE* errors_;
    CaptureController controller_;

    std::atomic<bool> ended_{false};
    std::atomic<bool> failed_{false};
    long long listedPackets_ = 0;        // pipeline thread only
    std::string pending_;                // pipeline thread only
    std::vector<std::uint8_t> preview_;  // pipeline thread only
    std::atomic<std::int64_t> lastListedNanoseconds_{0};
};

}  // namespace ravelin
