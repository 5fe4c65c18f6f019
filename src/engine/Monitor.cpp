#include "engine/Monitor.h"

namespace ravelin {

Monitor::Monitor(SystemServices services, SessionHost& host, std::string configPath)
    : services_(std::move(services)),
      recogniser_(std::move(configPath)),
      pipeline_(lists_, services_.localInterfaces) {
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
    }
    if (lookup_ != nullptr) lookup_->SetSocketEvents(socketEvents_.get());
    return true;
}

ProcessTree& Monitor::processTree() {
    if (tree_ == nullptr) {
        tree_ = std::make_unique<ProcessTree>(*services_.treeProcesses, *services_.treeSockets);
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
        lookup_->SetSocketEvents(socketEvents_.get());
    }
    filter_ = std::make_unique<ProcessFilter>(*lookup_, *selection_);
    filter_->SetAlwaysAttribute(lookup == OwnerLookup::kAlways);
    pipeline_.SetFilter(filter_.get());
}

}  // namespace ravelin
