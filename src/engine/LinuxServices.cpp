#include "engine/LinuxServices.h"

#include "attribution/OpeningOwners.h"
#include "attribution/linux/NetlinkSocketTable.h"
#include "attribution/linux/OutgoingSynSocket.h"
#include "attribution/linux/OwnerTables.h"
#include "attribution/linux/ProcFsProcessSource.h"
#include "capture/linux/PcapFileSource.h"
#include "capture/linux/PcapLiveSource.h"
#include "config/ConfigPath.h"

#ifdef RAVELIN_HAVE_BPF
#include "attribution/linux/KernelSocketEvents.h"
#endif

namespace ravelin {

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
    } else {
        services.packetSources = [](const IpAddress& address) {
            return std::make_unique<PcapLiveSource>(address);
        };
        services.openConnectionWatch = []() -> std::unique_ptr<SocketEventSource> {
            auto syns = OutgoingSynSocket::Open();
            auto table = std::make_unique<NetlinkSocketTable>();
            // Without it, owners are found as before, only later.
            if (syns == nullptr || !table->Open().succeeded()) return nullptr;
            return std::make_unique<OpeningOwners>(std::move(syns), std::move(table),
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
#ifdef RAVELIN_HAVE_BPF
    services.openSocketEvents = [](std::string& whyNot) -> std::unique_ptr<SocketEventSource> {
        KernelSocketEvents::Loaded loaded = KernelSocketEvents::Load();
        if (loaded.events == nullptr) whyNot = loaded.reason;
        return std::move(loaded.events);
    };
#else
    // Offered all the same, so that the user hears why there are none.
    services.openSocketEvents = [](std::string& whyNot) -> std::unique_ptr<SocketEventSource> {
        whyNot = "not built with eBPF";
        return nullptr;
    };
#endif
    services.lookupSockets = std::move(lookupSockets);
    services.treeSockets = std::move(treeSockets);
    services.lookupProcesses = std::make_unique<ProcFsProcessSource>();
    services.treeProcesses = std::make_unique<ProcFsProcessSource>();
    return services;
}

bool OpenSpool(SystemServices& services, std::string& error) {
    SystemError failure;
    services.spool = PayloadSpool::Create(DefaultSpoolDirectories(), failure);
    if (services.spool == nullptr) error = "cannot create the payload spool: " + failure.reason;
    return services.spool != nullptr;
}

}  // namespace ravelin
