#include "app/EngineOptions.h"

#include "capture/Interfaces.h"
#include "config/ConfigPath.h"

namespace ravelin {

namespace {

MonitorOptions CommonOptions(const CommandLine& commandLine) {
    MonitorOptions options;
    options.attribution = commandLine.attribution;
    options.address = commandLine.bindAddress;
    options.replayFile = commandLine.readFile;
    options.configPath = commandLine.configFile.value_or(DefaultConfigPath());
    return options;
}

}  // namespace

MonitorOptions WindowOptions(const CommandLine& commandLine) {
    MonitorOptions options = CommonOptions(commandLine);
    options.selection = MonitorOptions::Selection::kTreeTicks;
    options.lookup = MonitorOptions::OwnerLookup::kAlways;
    options.countTraffic = true;
    options.replayGivesWay = true;
    // Without --bind, the adapter dialog offers this host's address; a file was made elsewhere.
    if (!options.address && commandLine.readFile) options.address = 0;
    return options;
}

MonitorOptions HeadlessOptions(const CommandLine& commandLine) {
    MonitorOptions options = CommonOptions(commandLine);
    // A live capture that is written names each packet's process; a replayed file keeps the
    // owners it records, and this host's sockets say nothing of its packets.
    const bool writesLive = commandLine.writeFile && !commandLine.readFile;
    // Traffic counts for the process that owns it: every packet's owner is looked up.
    options.countTraffic = commandLine.Prints(CommandLine::Output::kProcesses);
    options.findOwners =
        commandLine.attribute || commandLine.pids || writesLive || options.countTraffic;
    if (commandLine.pids) {
        options.selection = MonitorOptions::Selection::kPids;
        options.pids.insert(commandLine.pids->begin(), commandLine.pids->end());
    }
    options.lookup = commandLine.attribute || writesLive || options.countTraffic
                         ? MonitorOptions::OwnerLookup::kAlways
                         : MonitorOptions::OwnerLookup::kWhenFiltering;
    if (!options.address) options.address = commandLine.readFile ? 0 : DefaultCaptureAddress();
    options.capturesAtOnce = !commandLine.readFile;
    // Packets are listed in groups: the engine stops at the last one, not the observer.
    if (commandLine.count) options.listingLimit = static_cast<std::size_t>(*commandLine.count);
    return options;
}

}  // namespace ravelin
