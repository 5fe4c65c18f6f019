#pragma once

#include <memory>
#include <string>

#include "analysis/WebRecogniser.h"
#include "attribution/PortOwnerLookup.h"
#include "attribution/ProcessFilter.h"
#include "attribution/ProcessTree.h"
#include "attribution/RecordedProcesses.h"
#include "capture/CaptureSession.h"
#include "engine/MonitorOptions.h"
#include "engine/SystemServices.h"
#include "pipeline/PacketPipeline.h"
#include "rows/CaptureLists.h"

namespace ravelin {

/// Ravelin's engine without a face: the capture session, the pipeline with its HTTP and
/// attribution steps, and the lists they fill, set up once as its options say. The capture
/// controller drives it for the window and for the headless mode alike.
class Monitor {
public:
    /// `host` hears the session's state and failures; `observer`, if any, every listed row.
    Monitor(SystemServices services, MonitorOptions options, SessionHost& host,
            ListingObserver* observer = nullptr);
    /// Stops capture before the lists and steps it feeds go away.
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    /// Makes attribution ready as the options say: the socket tables and kernel socket events,
    /// then the selection, the lookups and the counting. False after a reported failure (the
    /// tables, or events that were asked for and cannot run).
    bool Prepare(ErrorReporter& reporter);
    /// How owners are found, for the user: "kernel events", or "socket tables (<why>)"; empty
    /// where they are not looked for.
    const std::string& attributionMode() const { return attributionMode_; }
    const MonitorOptions& options() const { return options_; }
    /// The process tree over the tree's own services, built on first use (the window's).
    ProcessTree& processTree();
    /// What each process sent and received since the counters were last reset.
    ProcessCounters& counters() { return counters_; }

    /// From the next start on, capture replays the saved capture `path`, and the tree shows
    /// the processes its comments name. Capture must be stopped.
    void OpenCapture(const std::string& path);
    /// Back to live capture and the running processes in the tree; nothing for a program
    /// started on a file, which has no live sources. Capture must be stopped.
    void ReturnToSystemSources();
    /// Whether capture replays a file that OpenCapture chose.
    bool showingOpenedCapture() const { return openedCapture_; }

    CaptureSession& session() { return *session_; }
    const CaptureSession& session() const { return *session_; }
    CaptureLists& lists() { return lists_; }

private:
    void FilterBy(std::unique_ptr<ProcessSelection> selection);
    /// What the owner lookup takes in before the tables: kernel events, or the watch.
    SocketEventSource* EventsForLookup() const {
        return socketEvents_ != nullptr ? socketEvents_.get() : connectionWatch_.get();
    }
    SystemServices services_;
    MonitorOptions options_;
    CaptureLists lists_;
    WebRecogniser recogniser_;
    ProcessCounters counters_;
    PacketPipeline pipeline_;
    std::unique_ptr<SocketEventSource> socketEvents_;
    std::unique_ptr<SocketEventSource> connectionWatch_;  // with the socket tables only
    std::string attributionMode_;
    RecordedProcesses recordedProcesses_;
    bool openedCapture_ = false;
    std::unique_ptr<ProcessTree> tree_;
    std::unique_ptr<PortOwnerLookup> lookup_;
    std::unique_ptr<ProcessSelection> selection_;
    std::unique_ptr<ProcessFilter> filter_;
    // Last, so that it stops first: its threads use everything above.
    std::unique_ptr<CaptureSession> session_;
};

}  // namespace ravelin
