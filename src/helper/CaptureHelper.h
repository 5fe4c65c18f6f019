#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/CaptureRecords.h"

namespace ravelin {

/// What Ravelin asks of the capture helper on its command line.
struct HelperOptions {
    std::string device;
    /// Keep only what arrives (a loopback device sees every datagram twice).
    bool inboundOnly = false;
    /// kEvents: load the kernel socket events; kConnections: watch the SYNs this host sends.
    HelperAttribution attribution = HelperAttribution::kNone;
    /// Only say whether the kernel socket events can be loaded, then end.
    bool probeEvents = false;
};

/// The options, or nothing with `error` saying what is wrong.
std::optional<HelperOptions> ParseHelperArguments(const std::vector<std::string>& arguments,
                                                  std::string& error);

/// Opens what capture needs while the rights last, gives them up, and streams records to
/// `stream` until Ravelin closes it. The exit code: 0 after Ravelin ended it, 1 after a failure
/// it was told of.
int RunCaptureHelper(const HelperOptions& options, int stream);

}  // namespace ravelin
