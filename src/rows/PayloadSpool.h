#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/CheckCall.h"
#include "base/UniqueFd.h"
#include "capture/DatagramBatch.h"
#include "rows/FileWriteBehind.h"

namespace ravelin {

/// The frames of the listed packets, on disk instead of in memory: a pcapng file in the cache
/// directory that the packet rows point into by offset. A row costs its record in memory and
/// its frame on disk, so a monitor left running for hours does not run the desktop out of
/// memory. The file is also the capture as Save capture writes it: every listed packet in
/// order, each with its owner's comment where the owner was known.
///
/// The file is made with mode 0600, held with an exclusive flock while this object lives and
/// removed when it goes. One left behind by a crash holds no lock any more, and the next
/// Create removes it; two instances each have their own.
///
/// The pipeline thread appends; any thread reads and saves; Clean empties. One lock guards
/// the file and its write buffer; it is held for a buffer copy, a read or a write of at most
/// a megabyte, never across a call out.
class PayloadSpool {
public:
    /// Bytes gathered in memory before they are written out.
    static constexpr std::size_t kWriteBuffer = std::size_t{1} << 20;
    /// Bytes read at once around a read that misses the read cache: the list shows
    /// neighbouring rows, which lie next to each other in the file.
    static constexpr std::size_t kReadWindow = std::size_t{64} << 10;

    /// How far behind the end of the file its bytes are sent to the disk, and twice that how
    /// far they are dropped from the page cache (FileWriteBehind).
    static constexpr std::uint64_t kWriteBehind = std::uint64_t{4} << 20;
    /// The spool is left to the kernel's usual write-back however large it grows.
    static constexpr std::uint64_t kNoWriteBehind = 0;

    /// Opens a new spool in the first of `directories` that can hold one (each is made, mode
    /// 0700, when missing), after removing the spools there that no running instance holds.
    /// Nothing, and `error` says why, when none can.
    static std::unique_ptr<PayloadSpool> Create(const std::vector<std::string>& directories,
                                                SystemError& error,
                                                std::uint64_t writeBehind = kWriteBehind);
    /// Only Create makes spools.
    class Key {
        friend class PayloadSpool;
        Key() = default;
    };
    PayloadSpool(Key key, UniqueFd file, std::string path, std::uint64_t writeBehind);
    ~PayloadSpool();
    PayloadSpool(const PayloadSpool&) = delete;
    PayloadSpool& operator=(const PayloadSpool&) = delete;

    /// Appends the datagram's frame as one packet block, with `comment` (empty for none).
    /// Returns the file offset of the frame's first byte, or nothing once writing has failed
    /// (failure() says why; everything appended before stays readable).
    std::optional<std::uint64_t> Append(const Datagram& datagram, std::string_view comment);

    /// Holds the spool's lock for a run of Append calls, so that a writer that lists packets in
    /// groups takes it once per group. A full write buffer is still written out as it fills.
    class Appender {
    public:
        explicit Appender(PayloadSpool& spool) : spool_(spool), lock_(spool.mutex_) {}
        std::optional<std::uint64_t> Append(const Datagram& datagram, std::string_view comment) {
            return spool_.AppendLocked(datagram, comment);
        }

    private:
        PayloadSpool& spool_;
        std::lock_guard<std::mutex> lock_;
    };

    /// Copies `length` bytes at `offset` into `out` (replacing its content). False when the
    /// spool has been emptied since `generation` or the bytes are not there.
    bool Read(std::uint64_t offset, std::size_t length, std::uint64_t generation,
              std::vector<std::uint8_t>& out) const;

    /// Empties the spool (Clean): only the section header stays, and the generation goes up.
    /// A failed write is forgotten: the space it lacked may be free again.
    void Reset();

    /// Counts the times the spool was emptied; rows carry it to know their bytes are current.
    std::uint64_t generation() const;

    /// Why writing failed, once it has; writes stop at the first failure.
    std::optional<SystemError> failure() const;

    /// Copies the whole capture, as a pcapng file, to the descriptor. Fails when a write
    /// failed (a full disk) or the spool was emptied meanwhile (ECANCELED).
    CallResult CopyTo(int descriptor);

    const std::string& path() const { return path_; }
    /// Bytes in the file and in the write buffer.
    std::uint64_t size() const;

private:
    std::optional<std::uint64_t> AppendLocked(const Datagram& datagram, std::string_view comment);
    /// Writes the buffer out; on failure keeps what was not written, so reads still find it.
    void FlushLocked();
    void StartSectionLocked();
    bool WriteFailedLocked() const { return failure_.has_value(); }

    mutable std::mutex mutex_;
    UniqueFd file_;
    std::string path_;
    std::uint64_t written_ = 0;                     // bytes in the file; the buffer follows them
    std::unique_ptr<FileWriteBehind> writeBehind_;  // none for kNoWriteBehind
    std::vector<std::uint8_t> buffer_;              // bytes appended but not yet in the file
    std::vector<int> interfaceLinkTypes_;           // index: the interface id in the file
    std::uint64_t generation_ = 0;
    std::optional<SystemError> failure_;
    // The last window read from the file.
    mutable std::vector<std::uint8_t> cache_;
    mutable std::uint64_t cacheOffset_ = 0;
    mutable std::uint64_t cacheGeneration_ = 0;
};

}  // namespace ravelin
