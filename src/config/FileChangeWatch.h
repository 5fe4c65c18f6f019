#pragma once

#include <string>

namespace ravelin {

/// Tells cheaply whether a file may have changed since the last look: an inotify watch on its
/// directory, read without waiting. The kernel queues the event before the writer's call
/// returns, so a look after an edit always sees it. Where no watch can be set up (no such
/// directory, no inotify), every look answers "maybe changed" and the caller compares the file's
/// time and size itself. Not thread-safe.
class FileChangeWatch {
public:
    explicit FileChangeWatch(const std::string& path);
    ~FileChangeWatch();
    FileChangeWatch(const FileChangeWatch&) = delete;
    FileChangeWatch& operator=(const FileChangeWatch&) = delete;

    /// True when the file may have changed since the last call (always true on the first call
    /// and while no watch is active).
    bool MaybeChanged();
    bool active() const { return fd_ >= 0; }

private:
    void Close();

    std::string fileName_;
    int fd_ = -1;
    bool firstLook_ = true;
};

}  // namespace ravelin
