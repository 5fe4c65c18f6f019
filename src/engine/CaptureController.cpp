#include "engine/CaptureController.h"

namespace ravelin {

CaptureController::CaptureController(SystemServices services, MonitorOptions options,
                                     CaptureListener& listener, ListingObserver* observer)
    : listener_(listener), monitor_(std::move(services), std::move(options), *this, observer) {}

CaptureController::~CaptureController() = default;

bool CaptureController::Prepare() {
    if (!monitor_.Prepare(listener_.reporter())) return false;
    const MonitorOptions& options = monitor_.options();
    if (options.address) Rebind(*options.address);
    // Replayed at every start, as an opened capture is: the tree shows its processes.
    if (options.replayFile) monitor_.OpenCapture(*options.replayFile);
    return true;
}

bool CaptureController::Toggle() {
    session().OnStartStop();
    return running();
}

bool CaptureController::Start() {
    return session().Start();
}

void CaptureController::Stop() {
    session().Stop();
}

void CaptureController::Rebind(const IpAddress& address) {
    if (monitor_.showingOpenedCapture()) {
        Stop();
        monitor_.ReturnToSystemSources();
    }
    session().OnAddressChosen(address);
    listener_.OnAddressChanged(address);
}

bool CaptureController::OpenFile(const std::string& path) {
    Stop();
    Clear();
    monitor_.OpenCapture(path);
    // A saved capture was made elsewhere: on 0.0.0.0 without interfaces, none counts as sent.
    session().OnAddressChosen(0);
    listener_.OnAddressChanged(0);
    return Start();
}

void CaptureController::Relist() {
    if (!monitor_.showingOpenedCapture()) return;
    Stop();
    Clear();
    Start();
}

void CaptureController::Clear() {
    const CaptureLists::Detached detached = lists().ClearBoth();
    monitor_.counters().Reset();
    listener_.OnCleared();
    // `detached` frees every row and payload here, outside any lock.
}

void CaptureController::FinishEnded() {
    const bool failed = !session().FinishEndedCapture();
    listener_.OnEnded(failed);
}

}  // namespace ravelin
