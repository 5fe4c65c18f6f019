#pragma once

#include <memory>
#include <string>

#include "analysis/WebRecogniser.h"
#include "attribution/PortOwnerLookup.h"
#include "attribution/ProcessFilter.h"
#include "attribution/ProcessTree.h"
#include "attribution/RecordedProcesses.h"
#include "capture/CaptureSession.h"
#include "engine/SystemServices.h"
#include "pipeline/PacketPipeline.h"
#include "rows/CaptureLists.h"

namespace ravelin {

/// Ravelin's engine without a face: the capture session, the pipeline with its HTTP and
/// attribution steps, and the lists they fill. The window and the headless mode each build one
/// from the system's services and look at its lists their own way.
///
///     Monitor monitor(LinuxServices(std::nullopt), host, iniPath);
///     monitor.session().OnAddressChosen(address);
///     monitor.session().Start();
class Monitor {
public:
    /// When the owner of a packet is looked up.
    enum class OwnerLookup {
        kWhenFiltering,  ///< only while some process is not selected
        kAlways,         ///< for every TCP and UDP packet, so that observers learn its owner
    };

    /// `host` hears the session's status and failures; `configPath` names the INI file whose
    /// extension colours the HTTP rows get.
    Monitor(SystemServices services, SessionHost& host, std::string configPath);
    /// Stops capture before the lists and steps it feeds go away.
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    /// Makes attribution ready: the socket tables, and kernel socket events as `choice` says.
    /// False after a reported failure (the tables, or events that were asked for and cannot
    /// run).
    bool LoadOwnerTables(ErrorReporter& reporter,
                         AttributionChoice choice = AttributionChoice::kAuto);
    /// How owners are found, for the user: "kernel events", or "socket tables (<why>)".
    const std::string& attributionMode() const { return attributionMode_; }
    /// The process tree over the tree's own services, built on first use (the window's).
    ProcessTree& processTree();
    /// Lists only the traffic of the selected processes, looking owners up as `lookup` says.
    /// Call while capture is stopped.
    void FilterBy(std::unique_ptr<ProcessSelection> selection, OwnerLookup lookup);
    /// Counts every packet for its owner in counters(), listed or not (or no longer, with
    /// false). Owners are known only while FilterBy looks them up. Call while capture is
    /// stopped.
    void CountTraffic(bool count) { pipeline_.SetCounters(count ? &counters_ : nullptr); }
    /// What each process sent and received since the counters were last reset.
    ProcessCounters& counters() { return counters_; }

    /// Told about every row as it is listed, on the pipeline thread. Call while capture is
    /// stopped.
    void SetObserver(ListingObserver* observer) { pipeline_.SetObserver(observer); }

    /// From the next start on, capture replays the saved capture `path`, and the tree shows
    /// the processes its comments name. Stops capture and empties the lists.
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
    /// What the owner lookup takes in before the tables: kernel events, or the watch.
    SocketEventSource* EventsForLookup() const {
        return socketEvents_ != nullptr ? socketEvents_.get() : connectionWatch_.get();
    }
    SystemServices services_;
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
