#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureRecords.h"
#include "capture/linux/HelperProcess.h"
#include "decode/IpAddress.h"

namespace ravelin {

/// Loading the kernel programs takes a moment; a helper that says nothing for this long is
/// stuck.
constexpr int kHelperSetUpWaitMs = 30'000;

/// A capture helper started before its capture source, with what it was started with.
struct StartedHelper {
    std::unique_ptr<HelperProcess> process;
    std::vector<std::string> arguments;
};

/// The helper's arguments for a capture of the device that carries `boundAddress`, which goes
/// to `device` ("any" where none does yet: which interface carries the address is only judged
/// at Bind, as binding a socket would); `addressFound` says whether one does.
std::vector<std::string> HelperArguments(const IpAddress& boundAddress,
                                         HelperAttribution attribution, std::string& device,
                                         bool& addressFound);

/// Whether the helper at `helperPath` can load the kernel socket events: a helper of its own
/// loads them and ends. False with `whyNot` in a few words where it cannot.
bool ProbeHelperEvents(const std::string& helperPath, std::string& whyNot);

/// The same for a capture that starts at once on the device of `boundAddress`: the helper is
/// started to capture with the events, and only its first record, which says whether they
/// loaded, is read. Where they did, that helper is returned to go on as the capture's, so that
/// the kernel programs are loaded once, not twice; else nothing, with `whyNot`.
StartedHelper StartHelperWithEvents(const IpAddress& boundAddress, const std::string& helperPath,
                                    std::string& whyNot);

}  // namespace ravelin
