#include "engine/Monitor.h"

namespace ravelin {

Monitor::Monitor(SystemServices services, MonitorOptions options, SessionHost& host,
                 ListingObserver* observer)
    : services_(std::move(services)),
      options_(std::move(options)),
      lists_(std::move(services_.spool)),
      recogniser_(options_.configPath),
      pipeline_(lists_, services_.localInterfaces),
      recordedProcesses_(services_.treeProcesses.get()) {
    pipeline_.SetRecogniser(&recogniser_);
    pipeline_.SetObserver(observer);
    if (options_.listingLimit) pipeline_.SetListingLimit(*options_.listingLimit);
    session_ = std::make_unique<CaptureSession>(host, pipeline_, services_.packetSources);
    session_->SetYieldWhileReplaying(options_.replayGivesWay);
}

Monitor::~Monitor() {
    session_.reset();
}

bool Monitor::Prepare(ErrorReporter& reporter) {
    if (!options_.findOwners) return true;
    if (services_.loadOwnerTables && !services_.loadOwnerTables(reporter)) return false;
    std::string whyNot = "chosen";
    if (options_.attribution != AttributionChoice::kTables) {
        whyNot = "not available on this system";
        if (services_.openSocketEvents) {
            const std::optional<IpAddress> captureAddress =
                options_.capturesAtOnce ? options_.address : std::nullopt;
            socketEvents_ = services_.openSocketEvents(captureAddress, whyNot);
        }
    }
    if (socketEvents_ != nullptr) {
        attributionMode_ = "kernel events";
    } else {
        attributionMode_ = "socket tables (" + whyNot + ")";
        if (options_.attribution == AttributionChoice::kEvents) {
            reporter.ShowError("kernel socket events cannot run: " + whyNot);
            return false;
        }
        if (services_.openConnectionWatch) connectionWatch_ = services_.openConnectionWatch();
    }
    switch (options_.selection) {
        case MonitorOptions::Selection::kEverything:
            FilterBy(std::make_unique<EverythingSelected>());
            break;
        case MonitorOptions::Selection::kTreeTicks:
            FilterBy(std::make_unique<TreeSelection>(processTree()));
            break;
        case MonitorOptions::Selection::kPids:
            FilterBy(std::make_unique<PidSelection>(options_.pids));
            break;
    }
    if (options_.countTraffic) pipeline_.SetCounters(&counters_);
    return true;
}

ProcessTree& Monitor::processTree() {
    if (tree_ == nullptr) {
        tree_ = std::make_unique<ProcessTree>(recordedProcesses_, *services_.treeSockets);
    }
    return *tree_;
}

void Monitor::FilterBy(std::unique_ptr<ProcessSelection> selection) {
    selection_ = std::move(selection);
    lookup_ =
        std::make_unique<PortOwnerLookup>(*services_.lookupSockets, *services_.lookupProcesses);
    lookup_->SetSocketEvents(EventsForLookup());
    filter_ = std::make_unique<ProcessFilter>(*lookup_, *selection_, *services_.lookupProcesses);
    filter_->SetAlwaysAttribute(options_.lookup == MonitorOptions::OwnerLookup::kAlways);
    filter_->SetRecordedProcesses(&recordedProcesses_);
    filter_->SetLookUpLiveOwners(!openedCapture_);
    pipeline_.SetFilter(filter_.get());
}

void Monitor::OpenCapture(const std::string& path) {
    recordedProcesses_.ShowRecorded(true);
    if (tree_ != nullptr) tree_->ForgetProcessNodes();
    openedCapture_ = true;
    if (filter_ != nullptr) filter_->SetLookUpLiveOwners(false);
    session_->SetSourceFactory(
        [open = services_.fileSources, path](const IpAddress&) { return open(path); });
    // A saved capture was made wherever it was made: this host's addresses say nothing of
    // which packets it sent.
    pipeline_.SetLocalInterfaces([] { return std::vector<InterfaceAddress>(); });
}

void Monitor::ReturnToSystemSources() {
    // A program started on a file has no live sources to return to.
    if (!openedCapture_ || services_.replaysFile) return;
    openedCapture_ = false;
    if (filter_ != nullptr) filter_->SetLookUpLiveOwners(true);
    recordedProcesses_.ShowRecorded(false);
    if (tree_ != nullptr) tree_->ForgetProcessNodes();
    session_->SetSourceFactory(services_.packetSources);
    pipeline_.SetLocalInterfaces(services_.localInterfaces);
}

}  // namespace ravelin
