#pragma once

#include <optional>
#include <string>

#include "engine/SystemServices.h"

namespace ravelin {

/// This host's services: libpcap capture (live on the bound address, or the file `readFile`
/// replayed at every start), sock_diag socket tables, /proc processes, and kernel socket
/// events from eBPF where they can be loaded.
SystemServices LinuxServices(const std::optional<std::string>& readFile);

/// Gives the services a payload spool in the user's cache directory; false, and `error` says
/// why, when none can be made.
bool OpenSpool(SystemServices& services, std::string& error);

}  // namespace ravelin
