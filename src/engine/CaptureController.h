#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/Monitor.h"

namespace ravelin {

/// What a capture controller tells the front end that drives it (the window, the headless
/// runner): how capture stands and what happened to the lists, never how to word it.
class CaptureListener {
public:
    virtual ~CaptureListener() = default;
    /// Where failures are reported as they happen: a start step, a read error.
    virtual ErrorReporter& reporter() = 0;
    /// Capture started or stopped, however that came about. On the owner's thread.
    virtual void OnStateChanged(CaptureState /*state*/) {}
    /// Both lists were emptied and the counters reset. On the owner's thread.
    virtual void OnCleared() {}
    /// The bound address changed. On the owner's thread.
    virtual void OnAddressChanged(const IpAddress& /*address*/) {}
    /// The source ended by itself: on the pipeline thread, which must not wait for the owner's.
    /// The owner then calls CaptureController::FinishEnded on its own thread.
    virtual void OnEndReached() = 0;
    /// After FinishEnded: capture has stopped; `failed` when a failure was reported.
    virtual void OnEnded(bool /*failed*/) {}
};

/// Decides what each command does to capture, for every front end alike: start and stop,
/// a new address, a saved capture opened and left again, a new selection, clearing.
///
///     CaptureController controller(LinuxServices(std::nullopt), options, listener);
///     if (!controller.Prepare()) return 1;
///     controller.Toggle();
class CaptureController : private SessionHost {
public:
    CaptureController(SystemServices services, MonitorOptions options, CaptureListener& listener,
                      ListingObserver* observer = nullptr);
    ~CaptureController() override;
    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;

    /// The start-up steps the options ask for: attribution, the first address, the replayed
    /// file. False after a reported failure.
    bool Prepare();

    /// Starts capture when it is stopped, stops it when it runs. Whether it runs afterwards.
    bool Toggle();
    /// Starts capture (restarting it when it runs). False after a reported failure.
    bool Start();
    void Stop();
    /// Capture moves to `address`, and continues there if it ran. A saved capture that was
    /// shown gives way to live traffic again.
    void Rebind(const IpAddress& address);
    /// Replays the saved capture `path` into emptied lists, its processes in the tree, as
    /// made elsewhere (on 0.0.0.0). Whether it runs.
    bool OpenFile(const std::string& path);
    /// The selection changed: a shown saved capture is listed again through it, as live
    /// traffic would be from now on.
    void Relist();
    /// Empties both lists and resets the counters while capture goes on.
    void Clear();
    /// After CaptureListener::OnEndReached, on the owner's thread: reports a failure, if
    /// the source ended with one, and stops.
    void FinishEnded();

    bool running() const { return monitor_.session().running(); }
    Monitor& monitor() { return monitor_; }
    const Monitor& monitor() const { return monitor_; }
    CaptureSession& session() { return monitor_.session(); }
    CaptureLists& lists() { return monitor_.lists(); }

private:
    // SessionHost
    ErrorReporter& reporter() override { return listener_.reporter(); }
    void OnStateChanged(CaptureState state) override { listener_.OnStateChanged(state); }
    void OnCaptureEnded() override { listener_.OnEndReached(); }

    CaptureListener& listener_;
    Monitor monitor_;
};

}  // namespace ravelin
