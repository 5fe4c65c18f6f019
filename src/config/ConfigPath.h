#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ravelin {

/// Where "Ravelin.ini" is: beside the executable, unless that directory is not writable and
/// holds no "Ravelin.ini"; then $XDG_CONFIG_HOME/ravelin/Ravelin.ini (default
/// ~/.config/ravelin/Ravelin.ini).
std::string ChooseConfigPath(const std::string& executableDirectory, bool directoryWritable,
                             bool fileExistsThere, const std::optional<std::string>& xdgConfigHome,
                             const std::optional<std::string>& home);

/// ChooseConfigPath for this process.
std::string DefaultConfigPath();

/// Where captured payloads are spooled, best first: $XDG_CACHE_HOME/ravelin, else
/// ~/.cache/ravelin, else $TMPDIR (else /tmp). The caller takes the first it can write in.
std::vector<std::string> ChooseSpoolDirectories(const std::optional<std::string>& xdgCacheHome,
                                                const std::optional<std::string>& home,
                                                const std::optional<std::string>& tmpdir);

/// ChooseSpoolDirectories for this process.
std::vector<std::string> DefaultSpoolDirectories();

/// The settings of section "Config" that the window reads at start-up.
struct StartupConfig {
    bool topMost = false;      ///< "WndTop": 1 turns always-on-top on, any other value off
    int maxItemCount = 65535;  ///< "MaxItemCount"
};

class IniFile;
StartupConfig ReadStartupConfig(IniFile& ini);

}  // namespace ravelin
