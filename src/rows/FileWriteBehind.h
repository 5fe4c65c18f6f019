#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ravelin {

/// Sends a growing file to the disk `distance` bytes behind its end and drops it from the page
/// cache twice as far behind, on a thread of its own, so that the thread that appends does not
/// also map and submit what it wrote. A file written fast then reuses the cache's pages instead
/// of taking fresh ones for every byte, and does not push other files out of the cache; one
/// that stays under `distance` is left to the kernel's usual write-back. Both steps are advice
/// and never wait for the disk: a slow disk only leaves more of the file in the cache.
class FileWriteBehind {
public:
    FileWriteBehind(int descriptor, std::uint64_t distance);
    ~FileWriteBehind();
    FileWriteBehind(const FileWriteBehind&) = delete;
    FileWriteBehind& operator=(const FileWriteBehind&) = delete;

    /// The file now holds `end` bytes.
    void Written(std::uint64_t end);
    /// The file was emptied.
    void Restart();

private:
    bool DueLocked() const;
    void Run();

    const int descriptor_;
    const std::uint64_t distance_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::uint64_t end_ = 0;      // guarded by mutex_
    std::uint64_t sent_ = 0;     // up to here write-back was started; guarded by mutex_
    std::uint64_t dropped_ = 0;  // up to here the cache was told to let go; guarded by mutex_
    bool stop_ = false;          // guarded by mutex_
    std::thread thread_;
};

}  // namespace ravelin
