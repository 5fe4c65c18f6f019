#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "attribution/ProcessSource.h"
#include "attribution/SocketEvents.h"
#include "attribution/SocketTable.h"
#include "base/CheckCall.h"
#include "capture/CaptureSession.h"
#include "capture/Interfaces.h"
#include "rows/PayloadSpool.h"

namespace ravelin {

/// How processes are found for packets: kernel socket events where they can run, else the
/// socket tables (kAuto); the events or nothing (kEvents); the tables alone (kTables).
enum class AttributionChoice { kAuto, kEvents, kTables };

/// Everything Ravelin asks of the operating system, handed to a Monitor: the host's services
/// in the program, fakes in the tests. Socket tables and process sources are used by one thread
/// each, so the pipeline's lookups and the window's process tree have their own.
struct SystemServices {
    /// Where capture reads datagrams from, for a bound address.
    CaptureSession::SourceFactory packetSources;
    /// Whether packetSources replay a file (given at start-up) rather than capture live.
    bool replaysFile = false;
    /// A saved capture to replay (Open capture).
    std::function<std::unique_ptr<PacketSource>(const std::string& path)> fileSources;
    /// Where the listed packets' bytes are kept.
    std::unique_ptr<PayloadSpool> spool;
    /// The interfaces whose addresses count as this host's when capture is bound to 0.0.0.0.
    std::function<std::vector<InterfaceAddress>()> localInterfaces = ListInterfaces;
    /// Owner lookups, on the pipeline thread.
    std::unique_ptr<SocketTable> lookupSockets;
    std::unique_ptr<ProcessSource> lookupProcesses;
    /// The process tree, on the window's thread.
    std::unique_ptr<SocketTable> treeSockets;
    std::unique_ptr<ProcessSource> treeProcesses;
    /// Makes the socket tables ready, checking and reporting each step; false after a reported
    /// failure, when traffic cannot be attributed.
    std::function<bool(ErrorReporter& reporter)> loadOwnerTables;
    /// Starts kernel socket events; nothing, with the reason in `whyNot`, where they cannot
    /// run. `captureAddress` is the address of a capture that starts right after, where one
    /// does: its capture can then load them. Empty where the system has none.
    std::function<std::unique_ptr<SocketEventSource>(const std::optional<IpAddress>& captureAddress,
                                                     std::string& whyNot)>
        openSocketEvents;
    /// Where kernel socket events do not run: the owners of the connections this host opens,
    /// found as each opens; nothing where they cannot be watched. Empty where the system has
    /// no such watch, and for a replayed file.
    std::function<std::unique_ptr<SocketEventSource>()> openConnectionWatch;
};

}  // namespace ravelin
