#include "rows/SpoolFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

namespace ravelin {

namespace {

constexpr std::string_view kSpoolPrefix = "ravelin-spool-";
constexpr std::string_view kSpoolSuffix = ".pcapng";

bool IsSpoolName(std::string_view name) {
    return name.size() > kSpoolPrefix.size() + kSpoolSuffix.size() &&
           name.starts_with(kSpoolPrefix) && name.ends_with(kSpoolSuffix);
}

/// Removes the spools in `directory` that no living instance holds: a holder keeps an
/// exclusive flock on its spool for as long as it runs, and the kernel drops it at any exit.
void RemoveAbandonedSpools(const std::string& directory) {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {  // NOLINT(concurrency-mt-unsafe): own DIR
        if (!IsSpoolName(entry->d_name)) continue;
        const UniqueFd spool(::openat(::dirfd(listing), entry->d_name,
                                      O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!spool.valid()) continue;
        struct stat status {};
        if (::fstat(spool.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_uid != ::geteuid()) {
            continue;
        }
        if (::flock(spool.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

/// Makes `directory` when missing (the last part private to this user); 0 or an errno.
int MakeDirectory(const std::string& directory) {
    std::error_code error;
    const std::filesystem::path path(directory);
    if (std::filesystem::is_directory(path, error)) return 0;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

}  // namespace

std::optional<SpoolFile> OpenSpoolFile(const std::vector<std::string>& directories,
                                       SystemError& error) {
    error = {ENOENT, "no directory for the payload spool"};
    for (const std::string& directory : directories) {
        if (const int made = MakeDirectory(directory); made != 0) {
            error = SystemError::FromErrno(made);
            error.reason = directory + ": " + error.reason;
            continue;
        }
        RemoveAbandonedSpools(directory);
        // Made under a name the removal above never takes, locked, then given its own name:
        // another instance starting now cannot take it for abandoned.
        std::string staging = directory + "/.ravelin-spool-XXXXXX";
        UniqueFd file(::mkostemp(staging.data(), O_CLOEXEC));
        if (!file.valid()) {
            error = SystemError::FromErrno(errno);
            error.reason = directory + ": " + error.reason;
            continue;
        }
        std::string path = directory + "/" + std::string(kSpoolPrefix) +
                           staging.substr(staging.size() - 6) + std::string(kSpoolSuffix);
        if (::fchmod(file.get(), 0600) != 0 || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::rename(staging.c_str(), path.c_str()) != 0) {
            error = SystemError::FromErrno(errno);
            error.reason = path + ": " + error.reason;
            ::unlink(staging.c_str());
            continue;
        }
        error = {};
        return SpoolFile{std::move(file), std::move(path)};
    }
    return std::nullopt;
}

}  // namespace ravelin
