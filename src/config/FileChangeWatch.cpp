#include "config/FileChangeWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>

namespace ravelin {

namespace {

// Editors replace a file by renaming a new one over it, so the directory is watched.
constexpr std::uint32_t kEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM |
                                  IN_CREATE | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

}  // namespace

FileChangeWatch::FileChangeWatch(const std::string& path) {
    const std::filesystem::path file(path);
    fileName_ = file.filename().string();
    const std::filesystem::path directory =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    if (inotify_add_watch(fd_, directory.c_str(), kEvents) < 0) Close();
}

FileChangeWatch::~FileChangeWatch() {
    Close();
}

void FileChangeWatch::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool FileChangeWatch::MaybeChanged() {
    bool changed = firstLook_ || fd_ < 0;
    firstLook_ = false;
    if (fd_ < 0) return true;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t length = read(fd_, buffer.data(), buffer.size());
        if (length <= 0) break;  // EAGAIN: nothing more queued
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + at, sizeof event);
            const char* name = buffer.data() + at + sizeof(inotify_event);
            const bool ours =
                event.len > 0 && fileName_ == std::string(name, strnlen(name, event.len));
            if (ours || (event.mask & IN_Q_OVERFLOW) != 0) changed = true;
            if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                // The directory itself went away: from now on every look asks the file.
                Close();
                return true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    return changed;
}

}  // namespace ravelin
