#include "base/FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/UniqueFd.h"

namespace ravelin {

namespace {

CallResult Failure(int code) {
    return CallResult::Failure(SystemError::FromErrno(code));
}

/// Calls `transfer(done)` until `length` bytes are done; it returns what read or write did.
/// A read that gives nothing has reached the end; a write that takes nothing never will.
template <typename Transfer>
CallResult TransferAll(std::size_t length, bool writing, std::size_t& done, Transfer transfer) {
    done = 0;
    while (done < length) {
        const ssize_t moved = transfer(done);
        if (moved < 0) {
            if (errno == EINTR) continue;
            return Failure(errno);
        }
        if (moved == 0) {
            if (writing) return Failure(EIO);
            break;
        }
        done += static_cast<std::size_t>(moved);
    }
    return CallResult::Success();
}

}  // namespace

CallResult WriteAll(int descriptor, std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    return TransferAll(bytes.size(), true, written, [&](std::size_t done) {
        return ::write(descriptor, bytes.data() + done, bytes.size() - done);
    });
}

CallResult WriteAll(int descriptor, std::string_view bytes) {
    return WriteAll(descriptor,
                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

CallResult WriteAllAt(int descriptor, std::span<const std::uint8_t> bytes, std::uint64_t offset,
                      std::size_t& written) {
    return TransferAll(bytes.size(), true, written, [&](std::size_t done) {
        return ::pwrite(descriptor, bytes.data() + done, bytes.size() - done,
                        static_cast<off_t>(offset + done));
    });
}

CallResult ReadFully(int descriptor, std::span<std::uint8_t> bytes, std::size_t& got) {
    return TransferAll(bytes.size(), false, got, [&](std::size_t done) {
        return ::read(descriptor, bytes.data() + done, bytes.size() - done);
    });
}

CallResult ReadFullyAt(int descriptor, std::span<std::uint8_t> bytes, std::uint64_t offset,
                       std::size_t& got) {
    return TransferAll(bytes.size(), false, got, [&](std::size_t done) {
        return ::pread(descriptor, bytes.data() + done, bytes.size() - done,
                       static_cast<off_t>(offset + done));
    });
}

CallResult ReadFile(const std::string& path, std::string& contents) {
    contents.clear();
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return Failure(errno);
    // Each read asks for a whole chunk, however little the last one gave: a /proc file made
    // on the fly hands out as many whole lines as fit.
    char chunk[4096];
    for (;;) {
        const ssize_t length = ::read(file.get(), chunk, sizeof chunk);
        if (length < 0) {
            if (errno == EINTR) continue;
            return Failure(errno);
        }
        if (length == 0) return CallResult::Success();
        contents.append(chunk, static_cast<std::size_t>(length));
    }
}

CallResult WriteFile(const std::string& path, FailedFile whenFailed,
                     const std::function<CallResult(int descriptor)>& write) {
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.valid()) return Failure(errno);
    struct stat status {};
    const bool regular = ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode);
    CallResult result = write(file.get());
    if (file.Close() != 0 && result.succeeded()) result = Failure(errno);
    if (!result.succeeded() && whenFailed == FailedFile::kRemove && regular) {
        ::unlink(path.c_str());
    }
    return result;
}

}  // namespace ravelin
