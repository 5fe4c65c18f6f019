#include "app/HeadlessRunner.h"

#include <ctime>

#include "analysis/PacketLinker.h"
#include "app/StopSignals.h"
#include "output/CaptureSaving.h"
#include "output/RowPrinter.h"

namespace ravelin {

namespace {

constexpr std::size_t kFlushThreshold = 1 << 16;

std::int64_t NowNanoseconds() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

}  // namespace

HeadlessRunner::HeadlessRunner(const CommandLine& commandLine, SystemServices services,
                               MonitorOptions options, std::FILE* output, std::FILE* errors)
    : commandLine_(commandLine),
      output_(output),
      errors_(errors),
      controller_(std::move(services), std::move(options), *this, this) {}

HeadlessRunner::~HeadlessRunner() = default;

void HeadlessRunner::ShowError(std::string_view text) {
    failed_.store(true);
    (void)std::fprintf(errors_, "%.*s\n", static_cast<int>(text.size()), text.data());
    (void)std::fflush(errors_);
}

void HeadlessRunner::OnPacketListed(int row, int owner) {
    ++listedPackets_;
    if (commandLine_.Prints(CommandLine::Output::kPackets)) {
        std::optional<int> shownOwner;
        if (commandLine_.attribute) shownOwner = owner;
        controller_.lists().ReadPacket(
            row, PacketRow::kPreviewBytes, preview_,
            [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload) {
                AppendPacketLine(stored, payload, controller_.lists().addresses, pending_,
                                 shownOwner);
            });
        if (pending_.size() >= kFlushThreshold) Flush();
    }
    if (commandLine_.count && listedPackets_ >= *commandLine_.count) {
        // Nothing after the Nth packet is listed; its own HTTP row still is.
        controller_.session().Halt();
        ended_.store(true);
    }
}

void HeadlessRunner::OnRequestListed(int row) {
    if (!commandLine_.Prints(CommandLine::Output::kHttp)) return;
    controller_.lists().requests.ReadRow(
        row, [&](const StoredRow<HttpRow>& stored) { AppendHttpLine(stored, pending_); });
    if (pending_.size() >= kFlushThreshold) Flush();
}

void HeadlessRunner::OnBatchEnd() {
    lastListedNanoseconds_.store(NowNanoseconds());
    Flush();
    (void)std::fflush(output_);
}

void HeadlessRunner::Flush() {
    if (pending_.empty()) return;
    (void)std::fwrite(pending_.data(), 1, pending_.size(), output_);
    pending_.clear();
}

void HeadlessRunner::PrintMarks() {
    // Capture has stopped: the lists no longer change, and the pipeline's buffer is free.
    std::vector<std::pair<int, int>> requests;  // serial, packet row
    CaptureLists& lists = controller_.lists();
    lists.requests.ReadRows(0, lists.requests.rowCount(),
                            [&](int, const StoredRow<HttpRow>& stored) {
                                requests.emplace_back(stored.serial, stored.row.packetRow);
                            });
    for (const auto& [serial, startRow] : requests) {
        AppendMarksLine(serial, LinkedRows(lists.packets, startRow), pending_);
        if (pending_.size() >= kFlushThreshold) Flush();
    }
    Flush();
}

void HeadlessRunner::PrintProcesses() {
    std::string block;
    AppendProcessBlock(controller_.monitor().counters().Snapshot(), block);
    // One write: the pipeline thread's packet lines do not come between the block's lines.
    (void)std::fwrite(block.data(), 1, block.size(), output_);
    (void)std::fflush(output_);
}

void HeadlessRunner::WaitForEnd() {
    const sigset_t stopSignals = StopSignals();
    const auto started = std::chrono::steady_clock::now();
    double nextBlock = commandLine_.intervalSeconds.value_or(0);
    while (!ended_.load()) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (commandLine_.durationSeconds && elapsed >= *commandLine_.durationSeconds) return;
        if (commandLine_.intervalSeconds && elapsed >= nextBlock) {
            PrintProcesses();
            // Late blocks are not made up for: each shows the counts as they are.
            while (nextBlock <= elapsed) nextBlock += *commandLine_.intervalSeconds;
        }
        const timespec pause{0, 10'000'000};
        if (sigtimedwait(&stopSignals, nullptr, &pause) > 0) return;
    }
}

int HeadlessRunner::Run() {
    const bool prepared = controller_.Prepare();
    if (const std::string& mode = controller_.monitor().attributionMode(); !mode.empty()) {
        (void)std::fprintf(errors_, "attribution: %s\n", mode.c_str());
        (void)std::fflush(errors_);
    }
    if (!prepared) return 1;

    // The signals that end the run are taken by WaitForEnd alone; threads started from here on
    // inherit the mask.
    const sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!controller_.Start()) return 1;

    WaitForEnd();
    // The kernel's counters go with the source at Stop: read them first. Only live capture
    // has them; they go to standard error so that standard output keeps its lines.
    const auto statistics = controller_.session().Statistics();
    // Reports a receive failure, if the source ended with one, and stops.
    controller_.FinishEnded();
    if (statistics && commandLine_.Prints(CommandLine::Output::kSummary)) {
        std::string line;
        AppendCaptureStatisticsLine(*statistics, line);
        (void)std::fputs(line.c_str(), errors_);
    }

    if (commandLine_.writeFile) {
        if (const CallResult saved = SaveCapture(*commandLine_.writeFile, controller_.lists());
            !saved.succeeded()) {
            (void)std::fprintf(errors_, "ravelin: cannot write %s: %s\n",
                               commandLine_.writeFile->c_str(), saved.error().reason.c_str());
            failed_.store(true);
        }
    }
    if (commandLine_.Prints(CommandLine::Output::kMarks)) PrintMarks();
    // Capture has stopped and its last batch ended: the counts are the whole run's.
    if (commandLine_.Prints(CommandLine::Output::kProcesses)) PrintProcesses();
    if (commandLine_.Prints(CommandLine::Output::kSummary)) {
        double seconds = 0;
        if (const auto first = controller_.session().firstReadTime(); first) {
            const std::int64_t last = lastListedNanoseconds_.load();
            const std::int64_t firstNs = first->time_since_epoch().count();
            if (last > firstNs) seconds = static_cast<double>(last - firstNs) / 1e9;
        }
        AppendSummaryLine(controller_.lists().packets.rowCount(),
                          controller_.lists().requests.rowCount(), seconds, pending_);
        Flush();
    }
    (void)std::fflush(output_);
    // Lines that could not be written (a full disk, a closed pipe) are a failed run.
    if (std::ferror(output_) != 0) return 1;
    return failed_.load() ? 1 : 0;
}

}  // namespace ravelin
