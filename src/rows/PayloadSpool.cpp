#include "rows/PayloadSpool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/FileIo.h"
#include "capture/PcapngFormat.h"
#include "rows/PacketRecord.h"
#include "rows/SpoolFile.h"

namespace ravelin {

namespace {

constexpr std::string_view kApplication = "Ravelin";
// Large enough for any frame the capture takes (the snapshot length of a live capture).
constexpr std::uint32_t kSnapLength = 262144;
// Bounds one packet block: its header, the largest frame and a comment.
constexpr std::uint64_t kLargestBlock = std::uint64_t{1} << 20;
// Save copies this much at a time, then looks whether Clean emptied the spool meanwhile.
constexpr std::size_t kCopyChunk = std::size_t{8} << 20;

/// Reads exactly `bytes.size()` bytes at `offset`; false on an error or a short file.
bool ReadExactlyAt(int descriptor, std::span<std::uint8_t> bytes, std::uint64_t offset) {
    std::size_t got = 0;
    return ReadFullyAt(descriptor, bytes, offset, got).succeeded() && got == bytes.size();
}

/// Copies [offset, offset + length) of `from` to the end of `to`: in the kernel where it can,
/// through a buffer where it cannot.
CallResult CopyRange(int from, int to, std::uint64_t offset, std::size_t length,
                     std::vector<std::uint8_t>& buffer) {
    auto position = static_cast<loff_t>(offset);
    std::size_t left = length;
    while (left > 0) {
        const ssize_t copied = ::copy_file_range(from, &position, to, nullptr, left, 0);
        if (copied > 0) {
            left -= static_cast<std::size_t>(copied);
            continue;
        }
        if (copied < 0 && errno == EINTR) continue;
        if (copied < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL &&
            errno != EOPNOTSUPP) {
            return CallResult::Failure(SystemError::FromErrno(errno));
        }
        break;  // not between these files, or the source ended: copy by hand
    }
    buffer.resize(std::min(left, kCopyChunk));
    while (left > 0) {
        const auto part = std::span(buffer).first(std::min(left, buffer.size()));
        if (!ReadExactlyAt(from, part, static_cast<std::uint64_t>(position))) {
            return CallResult::Failure(SystemError::FromErrno(EIO));
        }
        if (CallResult written = WriteAll(to, part); !written.succeeded()) return written;
        position += static_cast<loff_t>(part.size());
        left -= part.size();
    }
    return CallResult::Success();
}

}  // namespace

std::unique_ptr<PayloadSpool> PayloadSpool::Create(const std::vector<std::string>& directories,
                                                   SystemError& error, std::uint64_t writeBehind) {
    std::optional<SpoolFile> opened = OpenSpoolFile(directories, error);
    if (!opened) return nullptr;
    return std::make_unique<PayloadSpool>(Key(), std::move(opened->file), std::move(opened->path),
                                          writeBehind);
}

PayloadSpool::PayloadSpool(Key /*key*/, UniqueFd file, std::string path, std::uint64_t writeBehind)
    : file_(std::move(file)), path_(std::move(path)) {
    // A file of 2 GiB written through the page cache took 2.4-3.1 s of CPU on the test machine
    // with fresh pages for every byte, 0.6 s written behind (fresh memory is dear on a virtual
    // machine).
    if (writeBehind != kNoWriteBehind) {
        writeBehind_ = std::make_unique<FileWriteBehind>(file_.get(), writeBehind);
    }
    buffer_.reserve(kWriteBuffer + (std::size_t{64} << 10));
    StartSectionLocked();
}

PayloadSpool::~PayloadSpool() {
    ::unlink(path_.c_str());
}

void PayloadSpool::StartSectionLocked() {
    pcapng::AppendSectionHeader(buffer_, kApplication);
}

std::optional<std::uint64_t> PayloadSpool::Append(const Datagram& datagram,
                                                  std::string_view comment) {
    std::lock_guard lock(mutex_);
    return AppendLocked(datagram, comment);
}

std::optional<std::uint64_t> PayloadSpool::AppendLocked(const Datagram& datagram,
                                                        std::string_view comment) {
    if (WriteFailedLocked()) return std::nullopt;
    const auto known =
        std::find(interfaceLinkTypes_.begin(), interfaceLinkTypes_.end(), datagram.linkType);
    const auto interfaceId = static_cast<std::uint32_t>(known - interfaceLinkTypes_.begin());
    if (known == interfaceLinkTypes_.end()) {
        pcapng::AppendInterfaceDescription(buffer_, datagram.linkType, kSnapLength);
        interfaceLinkTypes_.push_back(datagram.linkType);
    }
    const std::uint64_t blockOffset = written_ + buffer_.size();
    // Rows keep 40-bit offsets; a spool that would pass them is as full as a full disk.
    if (blockOffset + kLargestBlock > PacketRecord::kMaximumPayloadOffset) {
        failure_ = SystemError::FromErrno(EFBIG);
        failure_->reason = path_ + ": " + failure_->reason;
        return std::nullopt;
    }
    const std::size_t frameOffset = pcapng::AppendEnhancedPacket(
        buffer_, interfaceId, datagram.time, datagram.frame, datagram.originalLength, comment);
    // A failed write keeps the buffer, so this row's bytes stay readable; the next append
    // reports the failure.
    if (buffer_.size() >= kWriteBuffer) FlushLocked();
    return blockOffset + frameOffset;
}

void PayloadSpool::FlushLocked() {
    if (buffer_.empty() || WriteFailedLocked()) return;
    // Deleted behind our back (a cache cleaner): the open file still holds every byte, but
    // its space cannot be given back and no one can find it; say so rather than fill a disk.
    struct stat status {};
    if (::fstat(file_.get(), &status) == 0 && status.st_nlink == 0) {
        failure_ = SystemError{ENOENT, path_ + " was deleted"};
        return;
    }
    std::size_t done = 0;
    const CallResult written = WriteAllAt(file_.get(), buffer_, written_, done);
    written_ += done;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
    if (!written.succeeded()) {
        failure_ = written.error();
        failure_->reason = path_ + ": " + failure_->reason;
        return;
    }
    if (writeBehind_ != nullptr) writeBehind_->Written(written_);
}

bool PayloadSpool::Read(std::uint64_t offset, std::size_t length, std::uint64_t generation,
                        std::vector<std::uint8_t>& out) const {
    std::lock_guard lock(mutex_);
    out.clear();
    if (generation != generation_) return false;
    const std::uint64_t end = offset + length;
    if (end > written_ + buffer_.size() || end < offset) return false;
    if (length == 0) return true;  // a row without payload: nothing to copy
    out.resize(length);
    // The part already in the file.
    if (offset < written_) {
        const std::size_t inFile = static_cast<std::size_t>(std::min(end, written_) - offset);
        const bool cached = cacheGeneration_ == generation_ && offset >= cacheOffset_ &&
                            offset + inFile <= cacheOffset_ + cache_.size();
        if (!cached && inFile <= kReadWindow) {
            cache_.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadWindow, written_ - offset)));
            if (!ReadExactlyAt(file_.get(), cache_, offset)) {
                cache_.clear();
                out.clear();
                return false;
            }
            cacheOffset_ = offset;
            cacheGeneration_ = generation_;
        }
        if (inFile <= kReadWindow) {
            std::memcpy(out.data(), cache_.data() + (offset - cacheOffset_), inFile);
        } else if (!ReadExactlyAt(file_.get(), std::span(out).first(inFile), offset)) {
            out.clear();
            return false;
        }
    }
    // The part still in the write buffer.
    if (end > written_) {
        const std::uint64_t from = std::max(offset, written_);
        std::memcpy(out.data() + (from - offset), buffer_.data() + (from - written_),
                    static_cast<std::size_t>(end - from));
    }
    return true;
}

void PayloadSpool::Reset() {
    std::lock_guard lock(mutex_);
    ++generation_;
    buffer_.clear();
    interfaceLinkTypes_.clear();
    failure_.reset();
    cache_.clear();
    written_ = 0;
    if (writeBehind_ != nullptr) writeBehind_->Restart();
    if (::ftruncate(file_.get(), 0) != 0) {
        failure_ = SystemError::FromErrno(errno);
        failure_->reason = path_ + ": " + failure_->reason;
    }
    StartSectionLocked();
}

std::uint64_t PayloadSpool::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

std::optional<SystemError> PayloadSpool::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::uint64_t PayloadSpool::size() const {
    std::lock_guard lock(mutex_);
    return written_ + buffer_.size();
}

CallResult PayloadSpool::CopyTo(int descriptor) {
    std::uint64_t inFile = 0;
    std::uint64_t generation = 0;
    std::vector<std::uint8_t> tail;
    {
        std::lock_guard lock(mutex_);
        FlushLocked();
        inFile = written_;
        generation = generation_;
        tail = buffer_;  // empty unless the spool could not be written
    }
    // The file part is copied without the lock, so capture goes on meanwhile; it only grows
    // beyond what is copied, unless Clean empties it, which the generation tells.
    std::vector<std::uint8_t> buffer;
    for (std::uint64_t copied = 0; copied < inFile;) {
        const auto part =
            static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, inFile - copied));
        if (CallResult range = CopyRange(file_.get(), descriptor, copied, part, buffer);
            !range.succeeded()) {
            return range;
        }
        copied += part;
        if (this->generation() != generation) {
            return CallResult::Failure(SystemError::FromErrno(ECANCELED));
        }
    }
    return WriteAll(descriptor, tail);
}

}  // namespace ravelin
