#include "app/CommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace ravelin {

namespace {

std::optional<CommandLine::Output> ParseOutput(const std::string& text) {
    if (text == "packets") return CommandLine::Output::kPackets;
    if (text == "summary") return CommandLine::Output::kSummary;
    if (text == "http") return CommandLine::Output::kHttp;
    if (text == "marks") return CommandLine::Output::kMarks;
    if (text == "processes") return CommandLine::Output::kProcesses;
    return std::nullopt;
}

std::optional<double> ParsePositiveSeconds(const std::string& text) {
    double seconds = 0;
    const auto* end = text.data() + text.size();
    const auto [next, status] = std::from_chars(text.data(), end, seconds);
    if (status != std::errc() || next != end || !(seconds > 0) || !std::isfinite(seconds)) {
        return std::nullopt;
    }
    return seconds;
}

}  // namespace

bool CommandLine::headless() const {
    return !outputs.empty() || writeFile.has_value();
}

bool CommandLine::Prints(Output output) const {
    return std::find(outputs.begin(), outputs.end(), output) != outputs.end();
}

const char* UsageText() {
    return "usage: ravelin [--print WHAT]... [--read FILE] [--bind ADDR] [--count N]\n"
           "               [--duration SEC] [--config FILE] [--attribute] [--pid P[,P...]]\n"
           "               [--attribution auto|events|tables] [--write FILE] [--interval SEC]\n"
           "  --print WHAT     run without a window and print to standard output;\n"
           "                   WHAT is packets, http, marks, processes or summary (may be\n"
           "                   repeated); marks links every HTTP request's packet row once\n"
           "                   capture ends; processes prints what each process sent and\n"
           "                   received when the run ends\n"
           "  --read FILE      replay a pcap or pcapng file instead of capturing live\n"
           "                   (- or a pipe: read it as it comes, e.g. from tcpdump -w -)\n"
           "  --bind ADDR      the local IPv4 or IPv6 address to capture on (default: this\n"
           "                   host's address; 0.0.0.0 for a file; :: or 0.0.0.0 for every\n"
           "                   interface), which also tells the direction\n"
           "  --count N        stop after N listed packets (with --print)\n"
           "  --duration SEC   stop after SEC seconds (with --print)\n"
           "  --config FILE    the configuration file instead of Ravelin.ini\n"
           "  --attribute      add the owning process id to every packet line (with --print)\n"
           "  --pid P[,P...]   list only the traffic of these processes (with --print)\n"
           "  --attribution M  how owners are found: auto (kernel socket events where they\n"
           "                   can run, else the socket tables), events, or tables\n"
           "  --write FILE     run without a window and save the listed packets as a pcapng\n"
           "                   file when capture ends, each with a comment naming its\n"
           "                   process (pid=<pid> name=<name>) where it is known\n"
           "  --interval SEC   with --print processes: also print them every SEC seconds\n";
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error) {
    CommandLine line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        std::optional<std::string> value;
        if (const auto equals = option.find('=');
            option.starts_with("--") && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (option == "--help" || option == "-h") {
            line.help = true;
            continue;
        }
        if (option == "--attribute" && !value) {
            line.attribute = true;
            continue;
        }
        const bool takesValue = option == "--print" || option == "--read" || option == "--bind" ||
                                option == "--count" || option == "--duration" ||
                                option == "--config" || option == "--pid" ||
                                option == "--attribution" || option == "--write" ||
                                option == "--interval";
        if (!takesValue) {
            error = "unknown option: " + arguments[i];
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                error = option + " needs a value";
                return std::nullopt;
            }
            value = arguments[++i];
        }
        if (option == "--print") {
            const auto output = ParseOutput(*value);
            if (!output) {
                error = "--print takes packets, http, marks, processes or summary, not '" + *value +
                        "'";
                return std::nullopt;
            }
            line.outputs.push_back(*output);
        } else if (option == "--read") {
            line.readFile = *value;
        } else if (option == "--write") {
            line.writeFile = *value;
        } else if (option == "--bind") {
            const auto address = IpAddress::Parse(*value);
            if (!address) {
                error = "--bind takes an IPv4 or IPv6 address, not '" + *value + "'";
                return std::nullopt;
            }
            line.bindAddress = *address;
        } else if (option == "--count") {
            long long count = 0;
            const auto* end = value->data() + value->size();
            const auto [next, status] = std::from_chars(value->data(), end, count);
            if (status != std::errc() || next != end || count < 1) {
                error = "--count takes a positive whole number, not '" + *value + "'";
                return std::nullopt;
            }
            line.count = count;
        } else if (option == "--duration") {
            const auto seconds = ParsePositiveSeconds(*value);
            if (!seconds) {
                error = "--duration takes a positive number of seconds, not '" + *value + "'";
                return std::nullopt;
            }
            line.durationSeconds = *seconds;
        } else if (option == "--interval") {
            const auto seconds = ParsePositiveSeconds(*value);
            if (!seconds) {
                error = "--interval takes a positive number of seconds, not '" + *value + "'";
                return std::nullopt;
            }
            line.intervalSeconds = *seconds;
        } else if (option == "--pid") {
            std::vector<int> pids;
            std::string_view rest = *value;
            while (true) {
                const auto comma = rest.find(',');
                const std::string_view item = rest.substr(0, comma);
                int pid = 0;
                const auto [next, status] =
                    std::from_chars(item.data(), item.data() + item.size(), pid);
                if (item.empty() || status != std::errc() || next != item.data() + item.size() ||
                    pid < 1) {
                    error = "--pid takes process ids separated by commas, not '" + *value + "'";
                    return std::nullopt;
                }
                pids.push_back(pid);
                if (comma == std::string_view::npos) break;
                rest.remove_prefix(comma + 1);
            }
            line.pids = std::move(pids);
        } else if (option == "--attribution") {
            if (*value == "auto") {
                line.attribution = AttributionChoice::kAuto;
            } else if (*value == "events") {
                line.attribution = AttributionChoice::kEvents;
            } else if (*value == "tables") {
                line.attribution = AttributionChoice::kTables;
            } else {
                error = "--attribution takes auto, events or tables, not '" + *value + "'";
                return std::nullopt;
            }
        } else {
            line.configFile = *value;
        }
    }
    // The window has no use for them; ignoring them would mislead.
    if (!line.headless() && !line.help) {
        const char* printOnly = line.count             ? "--count"
                                : line.durationSeconds ? "--duration"
                                : line.attribute       ? "--attribute"
                                : line.pids            ? "--pid"
                                                       : nullptr;
        if (printOnly != nullptr) {
            error = std::string(printOnly) + " works only with --print";
            return std::nullopt;
        }
    }
    // Blocks of nothing: the interval belongs to the processes' lines.
    if (line.intervalSeconds && !line.help && !line.Prints(CommandLine::Output::kProcesses)) {
        error = "--interval works only with --print processes";
        return std::nullopt;
    }
    return line;
}

}  // namespace ravelin
