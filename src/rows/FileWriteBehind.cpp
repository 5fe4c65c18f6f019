#include "rows/FileWriteBehind.h"

#include <fcntl.h>
#include <pthread.h>

#include <algorithm>

namespace ravelin {

namespace {

constexpr std::uint64_t kLargestFolio = std::uint64_t{2} << 20;

}  // namespace

FileWriteBehind::FileWriteBehind(int descriptor, std::uint64_t distance)
    : descriptor_(descriptor), distance_(distance), thread_([this] { Run(); }) {}

FileWriteBehind::~FileWriteBehind() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void FileWriteBehind::Written(std::uint64_t end) {
    bool due = false;
    {
        const std::lock_guard lock(mutex_);
        end_ = end;
        due = DueLocked();
    }
    if (due) wake_.notify_one();
}

void FileWriteBehind::Restart() {
    const std::lock_guard lock(mutex_);
    end_ = 0;
    sent_ = 0;
    dropped_ = 0;
}

bool FileWriteBehind::DueLocked() const {
    return end_ >= distance_ && end_ - distance_ > sent_;
}

void FileWriteBehind::Run() {
    (void)pthread_setname_np(pthread_self(), "write-behind");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || DueLocked(); });
        if (stop_) return;
        const std::uint64_t sendFrom = sent_;
        const std::uint64_t sendTo = end_ - distance_;
        const std::uint64_t dropFrom = dropped_;
        const std::uint64_t dropTo = end_ >= 2 * distance_ ? end_ - 2 * distance_ : dropped_;
        sent_ = sendTo;
        dropped_ = std::max(dropped_, dropTo);
        lock.unlock();
        // A range that an emptied file no longer has is ignored by both calls.
        (void)::sync_file_range(descriptor_, static_cast<off_t>(sendFrom),
                                static_cast<off_t>(sendTo - sendFrom), SYNC_FILE_RANGE_WRITE);
        if (dropTo > dropFrom) {
            // The cache drops only whole folios within the range, and a file system may keep a
            // file in folios of up to 2 MiB: one that straddled the last range's end is
            // dropped now that this range covers it whole.
            const std::uint64_t from = dropFrom > kLargestFolio ? dropFrom - kLargestFolio : 0;
            (void)::posix_fadvise(descriptor_, static_cast<off_t>(from),
                                  static_cast<off_t>(dropTo - from), POSIX_FADV_DONTNEED);
        }
        lock.lock();
    }
}

}  // namespace ravelin
