#include "engine/Monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/UniqueFd.h"

namespace ravelin {

Monitor::Monitor(SystemServices services, SessionHost& host, std::string configPath)
    : services_(std::move(services)),
      lists_(std::move(services_.spool)),
      recogniser_(std::move(configPath)),
      pipeline_(lists_, services_.localInterfaces),
      recordedProcesses_(services_.treeProcesses.get()) {
    pipeline_.SetRecogniser(&recogniser_);
    session_ = std::make_unique<CaptureSession>(host, pipeline_, services_.packetSources);
}

Monitor::~Monitor() {
    session_.reset();
}

bool Monitor::LoadOwnerTables(ErrorReporter& reporter, AttributionChoice choice) {
    if (services_.loadOwnerTables && !services_.loadOwnerTables(reporter)) return false;
    std::string whyNot = "chosen";
    if (choice != AttributionChoice::kTables) {
        whyNot = "not available on this system";
        if (services_.openSocketEvents) socketEvents_ = services_.openSocketEvents(whyNot);
    }
    if (socketEvents_ != nullptr) {
        attributionMode_ = "kernel events";
    } else {
        attributionMode_ = "socket tables (" + whyNot + ")";
        if (choice == AttributionChoice::kEvents) {
            reporter.ShowError("kernel socket events cannot run: " + whyNot);
            return false;
        }
        if (services_.openConnectionWatch) connectionWatch_ = services_.openConnectionWatch();
    }
    if (lookup_ != nullptr) lookup_->SetSocketEvents(EventsForLookup());
    return true;
}

ProcessTree& Monitor::processTree() {
    if (tree_ == nullptr) {
        tree_ = std::make_unique<ProcessTree>(recordedProcesses_, *services_.treeSockets);
    }
    return *tree_;
}

void Monitor::FilterBy(std::unique_ptr<ProcessSelection> selection, OwnerLookup lookup) {
    pipeline_.SetFilter(nullptr);
    filter_.reset();
    selection_ = std::move(selection);
    if (lookup_ == nullptr) {
        lookup_ =
            std::make_unique<PortOwnerLookup>(*services_.lookupSockets, *services_.lookupProcesses);
        lookup_->SetSocketEvents(EventsForLookup());
    }
    filter_ = std::make_unique<ProcessFilter>(*lookup_, *selection_, *services_.lookupProcesses);
    filter_->SetAlwaysAttribute(lookup == OwnerLookup::kAlways);
    filter_->SetRecordedProcesses(&recordedProcesses_);
    pipeline_.SetFilter(filter_.get());
}

void Monitor::OpenCapture(const std::string& path) {
    session_->Stop();
    lists_.ClearBoth();
    counters_.Reset();  // the file's traffic replaces this host's
    recordedProcesses_.ShowRecorded(true);
    if (tree_ != nullptr) tree_->ForgetProcessNodes();
    openedCapture_ = true;
    session_->SetSourceFactory(
        [open = services_.fileSources, path](std::uint32_t) { return open(path); });
    // A saved capture was made wherever it was made: this host's addresses say nothing of
    // which packets it sent.
    pipeline_.SetLocalInterfaces([] { return std::vector<InterfaceAddress>(); });
}

void Monitor::ReturnToSystemSources() {
    // A program started on a file has no live sources to return to.
    if (!openedCapture_ || services_.replaysFile) return;
    openedCapture_ = false;
    recordedProcesses_.ShowRecorded(false);
    if (tree_ != nullptr) tree_->ForgetProcessNodes();
    session_->SetSourceFactory(services_.packetSources);
    pipeline_.SetLocalInterfaces(services_.localInterfaces);
}

}  // namespace ravelin
