#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "analysis/HttpRecogniser.h"
#include "app/CommandLine.h"
#include "capture/CaptureSession.h"
#include "pipeline/PacketPipeline.h"
#include "attribution/linux/NetlinkSocketTable.h"
#include "attribution/PortOwnerLookup.h"
#include "attribution/linux/ProcFsProcessSource.h"
#include "attribution/ProcessFilter.h"
#include "rows/CaptureLists.h"

namespace ravelin {

/// Ravelin without a window: the same session, pipeline and lists, with the rows printed to
/// standard output as they are listed.
class HeadlessRunner : public SessionHost, public ErrorReporter, public ListingObserver {
public:
    HeadlessRunner(const CommandLine& commandLine, std::FILE* output, std::FILE* errors);
    ~HeadlessRunner() override;

    /// Runs until the source ends, the count or duration is reached, or SIGINT/SIGTERM.
    /// Returns the process exit code: 0, or 1 when the source failed.
    int Run();

    // SessionHost
    ErrorReporter& reporter() override { return *this; }
    void SetStatus(std::string_view /*text*/) override {}
    void OnCaptureEnded() override { ended_.store(true); }

    // ErrorReporter
    void ShowError(std::string_view text) override;

    // ListingObserver, on the pipeline thread
    void OnPacketListed(int row) override;
    void OnRequestListed(int row) override;
    void OnBatchEnd() override;

private:
    bool SetUpAttribution();
    void WaitForEnd();
    void Flush();
    void PrintMarks();

    const CommandLine& commandLine_;
    std::FILE* output_;
    std::FILE* errors_;
    CaptureLists lists_;
    HttpRecogniser recogniser_;
    PacketPipeline pipeline_;
    std::unique_ptr<CaptureSession> session_;

    // Attribution, with --attribute or --pid.
    NetlinkSocketTable sockets_;
    ProcFsProcessSource processes_;
    std::unique_ptr<PortOwnerLookup> lookup_;
    std::unique_ptr<ProcessSelection> selection_;
    std::unique_ptr<ProcessFilter> filter_;

    std::atomic<bool> ended_{false};
    std::atomic<bool> failed_{false};
    long long listedPackets_ = 0;  // pipeline thread only
    std::string pending_;          // pipeline thread only
    std::atomic<std::int64_t> lastListedNanoseconds_{0};
};

}  // namespace ravelin
