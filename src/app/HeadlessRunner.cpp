#include "app/HeadlessRunner.h"

#include <signal.h>

#include <cinttypes>
#include <ctime>

#include "analysis/PacketLinker.h"
#include "capture/Interfaces.h"
#include "config/ConfigPath.h"
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
                               std::FILE* output, std::FILE* errors)
    : commandLine_(commandLine),
      output_(output),
      errors_(errors),
      monitor_(std::move(services), *this, commandLine.configFile.value_or(DefaultConfigPath())) {
    monitor_.SetObserver(this);
}

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
        monitor_.lists().ReadPacket(
            row, PacketRow::kPreviewBytes, preview_,
            [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload) {
                AppendPacketLine(stored, payload, pending_, shownOwner);
            });
        if (pending_.size() >= kFlushThreshold) Flush();
    }
    if (commandLine_.count && listedPackets_ >= *commandLine_.count) {
        // Nothing after the Nth packet is listed; its own HTTP row still is.
        monitor_.session().Halt();
        ended_.store(true);
    }
}

void HeadlessRunner::OnRequestListed(int row) {
    if (!commandLine_.Prints(CommandLine::Output::kHttp)) return;
    monitor_.lists().requests.ReadRow(
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
    CaptureLists& lists = monitor_.lists();
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
    AppendProcessBlock(monitor_.counters().Snapshot(), block);
    // One write: the pipeline thread's packet lines do not come between the block's lines.
    (void)std::fwrite(block.data(), 1, block.size(), output_);
    (void)std::fflush(output_);
}

void HeadlessRunner::WaitForEnd() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
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

bool HeadlessRunner::SetUpAttribution() {
    // A live capture that is written names each packet's process; a replayed file keeps the
    // owners it records, and this host's sockets say nothing of its packets.
    const bool writesLive = commandLine_.writeFile && !commandLine_.readFile;
    // Traffic counts for the process that owns it: every packet's owner is looked up.
    const bool countsProcesses = commandLine_.Prints(CommandLine::Output::kProcesses);
    if (!commandLine_.attribute && !commandLine_.pids && !writesLive && !countsProcesses) {
        return true;
    }
    const bool loaded = monitor_.LoadOwnerTables(*this, commandLine_.attribution);
    if (!monitor_.attributionMode().empty()) {
        (void)std::fprintf(errors_, "attribution: %s\n", monitor_.attributionMode().c_str());
        (void)std::fflush(errors_);
    }
    if (!loaded) return false;
    std::unique_ptr<ProcessSelection> selection;
    if (commandLine_.pids) {
        selection = std::make_unique<PidSelection>(
            std::unordered_set<int>(commandLine_.pids->begin(), commandLine_.pids->end()));
    } else {
        selection = std::make_unique<EverythingSelected>();
    }
    monitor_.FilterBy(std::move(selection), commandLine_.attribute || writesLive || countsProcesses
                                                ? Monitor::OwnerLookup::kAlways
                                                : Monitor::OwnerLookup::kWhenFiltering);
    monitor_.CountTraffic(countsProcesses);
    return true;
}

int HeadlessRunner::Run() {
    if (!SetUpAttribution()) return 1;

    // The signals that end the run are taken by WaitForEnd alone; threads started from here on
    // inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::uint32_t address = 0;
    if (commandLine_.bindAddress) {
        address = *commandLine_.bindAddress;
    } else if (!commandLine_.readFile) {
        address = DefaultCaptureAddress();
    }
    monitor_.session().OnAddressChosen(address);
    if (!monitor_.session().Start()) return 1;

    WaitForEnd();
    // The kernel's counters go with the source at Stop: read them first. Only live capture
    // has them; they go to standard error so that standard output keeps its lines.
    const auto statistics = monitor_.session().Statistics();
    // Reports a receive failure, if the source ended with one, and stops.
    monitor_.session().FinishEndedCapture();
    if (statistics && commandLine_.Prints(CommandLine::Output::kSummary)) {
        (void)std::fprintf(errors_, "capture: received=%llu dropped=%llu\n",
                           static_cast<unsigned long long>(statistics->received),
                           static_cast<unsigned long long>(statistics->dropped));
    }

    if (commandLine_.writeFile) {
        if (const CallResult saved = SaveCapture(*commandLine_.writeFile, monitor_.lists());
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
        if (const auto first = monitor_.session().firstReadTime(); first) {
            const std::int64_t last = lastListedNanoseconds_.load();
            const std::int64_t firstNs = first->time_since_epoch().count();
            if (last > firstNs) seconds = static_cast<double>(last - firstNs) / 1e9;
        }
        (void)std::fprintf(output_, "packets=%d http=%d seconds=%.3f\n",
                           monitor_.lists().packets.rowCount(),
                           monitor_.lists().requests.rowCount(), seconds);
    }
    (void)std::fflush(output_);
    // Lines that could not be written (a full disk, a closed pipe) are a failed run.
    if (std::ferror(output_) != 0) return 1;
    return failed_.load() ? 1 : 0;
}

}  // namespace ravelin
