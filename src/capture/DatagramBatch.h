#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ravelin {

/// When a datagram was captured: the capture time stamp, in Unix time.
struct CaptureTime {
    std::int64_t seconds = 0;
    std::int32_t microseconds = 0;
};

/// One captured IPv4 datagram as handed to the pipeline: its bytes from the IP header on.
struct Datagram {
    std::span<const std::uint8_t> bytes;
    CaptureTime time;
};

/// Datagrams copied out of the capture buffer, handed from the receive thread to the pipeline
/// thread in one piece. The storage is kept when the batch is cleared and reused.
class DatagramBatch {
public:
    void Clear() {
        bytes_.clear();
        slots_.clear();
    }

    void Add(std::span<const std::uint8_t> datagram, CaptureTime time) {
        slots_.push_back({bytes_.size(), datagram.size(), time});
        bytes_.insert(bytes_.end(), datagram.begin(), datagram.end());
    }

    std::size_t size() const { return slots_.size(); }
    bool empty() const { return slots_.empty(); }
    std::size_t byteCount() const { return bytes_.size(); }
    /// The heap the batch holds, used or kept for reuse.
    std::size_t memoryBytes() const { return bytes_.capacity() + slots_.capacity() * sizeof(Slot); }

    Datagram operator[](std::size_t index) const {
        const Slot& slot = slots_[index];
        return {std::span<const std::uint8_t>(bytes_).subspan(slot.offset, slot.length), slot.time};
    }

private:
    struct Slot {
        std::size_t offset;
        std::size_t length;
        CaptureTime time;
    };
    std::vector<std::uint8_t> bytes_;
    std::vector<Slot> slots_;
};

}  // namespace ravelin
