#pragma once

#include "app/CommandLine.h"
#include "engine/MonitorOptions.h"

namespace ravelin {

/// The window's engine: every packet's owner looked up, so that a saved capture names the
/// process of each; the tree's ticks choose what is listed; each process's traffic counted.
MonitorOptions WindowOptions(const CommandLine& commandLine);

/// The headless engine: owners looked up only where the output shows, selects, counts or saves
/// them; capture on --bind, else 0.0.0.0 for a file, else this host's address.
MonitorOptions HeadlessOptions(const CommandLine& commandLine);

}  // namespace ravelin
