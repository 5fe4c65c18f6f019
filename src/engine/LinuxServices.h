#pragma once

#include <optional>
#include <string>

#include "engine/SystemServices.h"

namespace ravelin {

/// This host's services: libpcap capture (live on the bound address, or the file `readFile`
/// replayed at every start), sock_diag socket tables, /proc processes, and kernel socket
/// events from eBPF where they can be loaded.
SystemServices LinuxServices(const std::optional<std::string>& readFile);

}  // namespace ravelin
