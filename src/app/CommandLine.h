#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/SystemServices.h"

#include "decode/IpAddress.h"

namespace ravelin {

/// What `ravelin` was asked to do on its command line.
struct CommandLine {
    enum class Output { kPackets, kSummary, kHttp, kMarks, kProcesses };

    std::vector<Output> outputs;            ///< --print, in the order given; empty: the window
    std::optional<std::string> readFile;    ///< --read FILE
    std::optional<std::string> writeFile;   ///< --write FILE: the capture, as pcapng
    std::optional<IpAddress> bindAddress;   ///< --bind ADDR: IPv4, IPv6, 0.0.0.0 or ::
    std::optional<long long> count;         ///< --count N
    std::optional<double> durationSeconds;  ///< --duration SEC
    std::optional<double> intervalSeconds;  ///< --interval SEC: processes every SEC
    std::optional<std::string> configFile;  ///< --config FILE
    bool attribute = false;                 ///< --attribute: the owner column
    std::optional<std::vector<int>> pids;   ///< --pid P[,P...]
    AttributionChoice attribution = AttributionChoice::kAuto;  ///< --attribution
    bool help = false;

    bool Prints(Output output) const;
    /// Runs without a window: something is printed or written.
    bool headless() const;
};

/// Parses the arguments after the program name; on a mistake, nothing and `error` says what.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error);

/// The usage text for --help and for mistakes.
const char* UsageText();

}  // namespace ravelin
