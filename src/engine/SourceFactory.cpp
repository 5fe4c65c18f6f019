#include "engine/SourceFactory.h"

#include "capture/linux/PcapFileSource.h"
#include "capture/linux/PcapLiveSource.h"

namespace ravelin {

CaptureSession::SourceFactory SourceFactoryFor(const CommandLine& commandLine) {
    if (commandLine.readFile) {
        return [file = *commandLine.readFile](std::uint32_t) {
            return std::make_unique<PcapFileSource>(file);
        };
    }
    return [](std::uint32_t address) { return std::make_unique<PcapLiveSource>(address); };
}

}  // namespace ravelin
