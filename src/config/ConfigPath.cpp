#include "config/ConfigPath.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "config/IniFile.h"

namespace ravelin {

namespace {

constexpr const char* kFileName = "Ravelin.ini";

std::optional<std::string> Environment(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read at start-up
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

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
    return ChooseConfigPath(directory, access(directory.c_str(), W_OK) == 0,
                            std::filesystem::exists(std::filesystem::path(directory) / kFileName),
                            Environment("XDG_CONFIG_HOME"), Environment("HOME"));
}

std::vector<std::string> ChooseSpoolDirectories(const std::optional<std::string>& xdgCacheHome,
                                                const std::optional<std::string>& home,
                                                const std::optional<std::string>& tmpdir) {
    std::vector<std::string> directories;
    if (xdgCacheHome)
        directories.push_back((std::filesystem::path(*xdgCacheHome) / "ravelin").string());
    if (home) directories.push_back((std::filesystem::path(*home) / ".cache" / "ravelin").string());
    directories.push_back(tmpdir.value_or("/tmp"));
    return directories;
}

std::vector<std::string> DefaultSpoolDirectories() {
    return ChooseSpoolDirectories(Environment("XDG_CACHE_HOME"), Environment("HOME"),
                                  Environment("TMPDIR"));
}

StartupConfig ReadStartupConfig(IniFile& ini) {
    StartupConfig config;
    config.topMost = ini.GetInt("Config", "WndTop", 0) == 1;
    config.maxItemCount = ini.GetInt("Config", "MaxItemCount", config.maxItemCount);
    return config;
}

}  // namespace ravelin
