#pragma once

#include <unistd.h>

#include <utility>

namespace ravelin {

/// Owns a file descriptor and closes it when dropped.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    /// Closes the descriptor now and returns what close() did (0, or -1 with errno set): a
    /// file's last write can fail only here.
    int Close() {
        const int fd = std::exchange(fd_, -1);
        return fd >= 0 ? close(fd) : 0;
    }

    /// Gives the descriptor up without closing it, to an owner that closes it itself.
    int Release() { return std::exchange(fd_, -1); }

    void Reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace ravelin
