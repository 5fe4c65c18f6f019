#pragma once

#include "app/CommandLine.h"
#include "capture/CaptureSession.h"

namespace ravelin {

/// Where capture reads from, as the command line says: the file of --read, replayed at every
/// start, or live capture on the bound address.
CaptureSession::SourceFactory SourceFactoryFor(const CommandLine& commandLine);

}  // namespace ravelin
