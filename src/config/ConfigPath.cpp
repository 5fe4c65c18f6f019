#include "config/ConfigPath.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "config/IniFile.h"

namespace ravelin {

namespace {

constexpr const char* kFileName = "Ravelin.ini";

}  // namespace

std::string ChooseConfigPath(const std::string& executableDirectory, bool directoryWritable,
                             bool fileExistsThere, const std::optional<std::string>& xdgConfigHome,
                             const std::optional<std::string>& home) {
    const std::filesystem::path besideExecutable =
        std::filesystem::path(executableDirectory) / kFileName;
    if (directoryWritable || fileExistsThere) return besideExecutable.string();
    std::filesystem::path base;
    if (xdgConfigHome && !xdgConfigHome->empty()) {
        base = *xdgConfigHome;
    } else if (home && !home->empty()) {
        base = std::filesystem::path(*home) / ".config";
    } else {
        return besideExecutable.string();
    }
    return (base / "ravelin" / kFileName).string();
}

std::string DefaultConfigPath() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::string directory = error ? "." : executable.parent_path().string();
    const auto environment = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read at start-up
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    };
    return ChooseConfigPath(directory, access(directory.c_str(), W_OK) == 0,
                            std::filesystem::exists(std::filesystem::path(directory) / kFileName),
                            environment("XDG_CONFIG_HOME"), environment("HOME"));
}

StartupConfig ReadStartupConfig(IniFile& ini) {
    StartupConfig config;
    config.topMost = ini.GetInt("Config", "WndTop", 0) == 1;
    config.maxItemCount = ini.GetInt("Config", "MaxItemCount", config.maxItemCount);
    return config;
}

}  // namespace ravelin
