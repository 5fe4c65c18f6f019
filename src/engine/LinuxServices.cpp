#include "engine/LinuxServices.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "attribution/OpeningOwners.h"
#include "attribution/RelayedEvents.h"
#include "attribution/linux/NetlinkSocketTable.h"
#include "attribution/linux/OwnerTables.h"
#include "attribution/linux/ProcFsProcessSource.h"
#include "attribution/linux/SocketEventRecord.h"
#include "capture/linux/HelperCaptureSource.h"
#include "capture/linux/PcapFileSource.h"
#include "config/ConfigPath.h"

namespace ravelin {

namespace {

/// What joins the live capture sources, one capture helper each, to attribution, which lasts
/// across captures: what the helpers are asked to watch, and the events and SYNs they send.
class HelperLink final : public HelperSideRecords {
public:
    std::atomic<HelperAttribution> attribution{HelperAttribution::kNone};
    RelayedSocketEvents events;
    RelayedOpenings openings;

    /// The helper that loaded the events for a capture starting right after, until that
    /// capture's source takes it.
    void KeepStarted(StartedHelper helper) {
        std::lock_guard lock(startedMutex_);
        started_ = std::move(helper);
    }
    StartedHelper TakeStarted() {
        std::lock_guard lock(startedMutex_);
        return std::exchange(started_, {});
    }

    void OnSocketEvent(std::span<const std::uint8_t> record) override {
        if (auto event = DecodeSocketEventRecord(record)) events.Push(std::move(*event));
    }
    void OnSyn(std::span<const std::uint8_t> datagram) override {
        if (const auto opening = OpeningOfSyn(datagram)) openings.Push(*opening);
    }

private:
    std::mutex startedMutex_;
    StartedHelper started_;  // guarded by startedMutex_
};

class LinkedSocketEvents final : public SocketEventSource {
public:
    explicit LinkedSocketEvents(std::shared_ptr<HelperLink> link) : link_(std::move(link)) {}
    void Drain(std::vector<SocketEvent>& events) override { link_->events.Drain(events); }

private:
    std::shared_ptr<HelperLink> link_;
};

class LinkedOpenings final : public ConnectionOpenings {
public:
    explicit LinkedOpenings(std::shared_ptr<HelperLink> link) : link_(std::move(link)) {}
    Waited Wait(std::vector<SocketEndpoints>& openings, std::chrono::milliseconds quiet) override {
        return link_->openings.Wait(openings, quiet);
    }
    void Stop() override { link_->openings.Stop(); }

private:
    std::shared_ptr<HelperLink> link_;
};

}  // namespace

SystemServices LinuxServices(const std::optional<std::string>& readFile) {
    SystemServices services;
    services.fileSources = [](const std::string& path) {
        return std::make_unique<PcapFileSource>(path);
    };
    if (readFile) {
        services.replaysFile = true;
        services.packetSources = [file = *readFile](const IpAddress&) {
            return std::make_unique<PcapFileSource>(file);
        };
        // A file's packets were captured wherever it was made: this host's addresses say
        // nothing of which were sent, --bind does.
        services.localInterfaces = [] { return std::vector<InterfaceAddress>(); };
        // A replay starts no capture helper, and the events of this host now would say nothing
        // of the file's packets.
        services.openSocketEvents = [](const std::optional<IpAddress>&,
                                       std::string& whyNot) -> std::unique_ptr<SocketEventSource> {
            whyNot = "a file is replayed";
            return nullptr;
        };
    } else {
        // Live capture runs in the capture helper, which alone holds the rights to capture.
        auto link = std::make_shared<HelperLink>();
        const std::string helper = DefaultCaptureHelperPath();
        services.packetSources = [link, helper](const IpAddress& address) {
            return std::make_unique<HelperCaptureSource>(address, helper, link->attribution.load(),
                                                         link, link->TakeStarted());
        };
        services.openSocketEvents = [link, helper](
                                        const std::optional<IpAddress>& captureAddress,
                                        std::string& whyNot) -> std::unique_ptr<SocketEventSource> {
            if (captureAddress) {
                // Loaded by the helper of the capture that follows, rather than by a helper of
                // their own and then again by the capture's: the load costs a tenth of a second
                // of CPU.
                StartedHelper started = StartHelperWithEvents(*captureAddress, helper, whyNot);
                if (started.process == nullptr) return nullptr;
                link->KeepStarted(std::move(started));
            } else if (!ProbeHelperEvents(helper, whyNot)) {
                return nullptr;
            }
            link->attribution = HelperAttribution::kEvents;
            return std::make_unique<LinkedSocketEvents>(link);
        };
        services.openConnectionWatch = [link]() -> std::unique_ptr<SocketEventSource> {
            auto table = std::make_unique<NetlinkSocketTable>();
            // Without it, owners are found as before, only later.
            if (!table->Open().succeeded()) return nullptr;
            link->attribution = HelperAttribution::kConnections;
            return std::make_unique<OpeningOwners>(std::make_unique<LinkedOpenings>(link),
                                                   std::move(table),
                                                   std::make_unique<ProcFsProcessSource>());
        };
    }
    auto lookupSockets = std::make_unique<NetlinkSocketTable>();
    auto treeSockets = std::make_unique<NetlinkSocketTable>();
    // The tables live as long as the services that hold them, and the loader with them.
    services.loadOwnerTables = [lookup = lookupSockets.get(),
                                tree = treeSockets.get()](ErrorReporter& reporter) {
        if (!LoadOwnerTableFunctions(*lookup, reporter)) return false;
        // The tree's table asks the same kernel; should it fail anyway, new processes merely
        // show grey in the tree.
        tree->Open();
        return true;
    };
    services.lookupSockets = std::move(lookupSockets);
    services.treeSockets = std::move(treeSockets);
    services.lookupProcesses = std::make_unique<ProcFsProcessSource>();
    services.treeProcesses = std::make_unique<ProcFsProcessSource>();
    return services;
}

bool OpenSpool(SystemServices& services, std::string& error) {
    SystemError failure;
    // A live capture keeps pace with the network: a spool written behind takes no fresh page
    // for each byte it keeps. A file's replay has its bytes on disk already, and its spool
    // is left to the page cache, where writing it out costs nothing while it is read.
    services.spool = PayloadSpool::Create(
        DefaultSpoolDirectories(), failure,
        services.replaysFile ? PayloadSpool::kNoWriteBehind : PayloadSpool::kWriteBehind);
    if (services.spool == nullptr) error = "cannot create the payload spool: " + failure.reason;
    return services.spool != nullptr;
}

}  // namespace ravelin
