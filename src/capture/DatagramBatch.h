#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ravelin {

/// When a datagram was captured: the capture time stamp, in Unix time.
struct CaptureTime {
    std::int64_t seconds = 0;
    std::int32_t microseconds = 0;
};

/// libpcap's DLT_RAW on Linux: frames that are the IP datagram itself.
constexpr int kRawIpLinkType = 12;

/// The process a saved capture names for a packet (its packet comment), if it names one.
struct RecordedOwner {
    int pid = -1;           ///< -1: the file names no owner
    std::string_view name;  ///< image name; lives as long as the batch that holds it
    bool known() const { return pid >= 0; }
};

/// One captured IPv4 datagram as handed to the pipeline.
struct Datagram {
    std::span<const std::uint8_t> bytes;  ///< from the IP header on, link padding cut off
    CaptureTime time;
    std::span<const std::uint8_t> frame;  ///< as captured, link-layer header included
    int linkType = kRawIpLinkType;        ///< libpcap DLT value of `frame`
    std::uint32_t originalLength = 0;     ///< of the frame on the wire; at least frame.size()
    RecordedOwner owner;

    /// A datagram captured without a link-layer header.
    static Datagram Raw(std::span<const std::uint8_t> bytes, CaptureTime time) {
        Datagram datagram;
        datagram.bytes = bytes;
        datagram.time = time;
        datagram.frame = bytes;
        datagram.originalLength = static_cast<std::uint32_t>(bytes.size());
        return datagram;
    }
};

/// What a source knows of one captured frame.
struct CapturedFrame {
    std::span<const std::uint8_t> frame;
    std::size_t datagramOffset = 0;  ///< where the IPv4 datagram begins within `frame`
    std::size_t datagramLength = 0;
    int linkType = kRawIpLinkType;
    std::uint32_t originalLength = 0;  ///< 0: the frame is whole
    CaptureTime time;
    RecordedOwner owner;
};

/// Datagrams copied out of the capture buffer, handed from the receive thread to the pipeline
/// thread in one piece. The storage is kept when the batch is cleared and reused.
class DatagramBatch {
public:
    void Clear() {
        bytes_.clear();
        slots_.clear();
    }

    /// A frame, with the datagram it carries and what the source recorded of it.
    void Add(const CapturedFrame& captured) {
        Slot slot;
        slot.offset = bytes_.size();
        slot.frameLength = static_cast<std::uint32_t>(captured.frame.size());
        slot.datagramOffset = static_cast<std::uint32_t>(captured.datagramOffset);
        slot.datagramLength = static_cast<std::uint32_t>(captured.datagramLength);
        slot.linkType = captured.linkType;
        slot.originalLength =
            captured.originalLength > slot.frameLength ? captured.originalLength : slot.frameLength;
        slot.time = captured.time;
        slot.ownerPid = captured.owner.pid;
        slot.ownerNameLength = static_cast<std::uint32_t>(captured.owner.name.size());
        bytes_.insert(bytes_.end(), captured.frame.begin(), captured.frame.end());
        bytes_.insert(bytes_.end(), captured.owner.name.begin(), captured.owner.name.end());
        slots_.push_back(slot);
    }

    /// A datagram captured without a link-layer header.
    void Add(std::span<const std::uint8_t> datagram, CaptureTime time) {
        Add(CapturedFrame{datagram, 0, datagram.size(), kRawIpLinkType, 0, time, {}});
    }

    std::size_t size() const { return slots_.size(); }
    bool empty() const { return slots_.empty(); }
    std::size_t byteCount() const { return bytes_.size(); }
    /// The heap the batch holds, used or kept for reuse.
    std::size_t memoryBytes() const { return bytes_.capacity() + slots_.capacity() * sizeof(Slot); }

    Datagram operator[](std::size_t index) const {
        const Slot& slot = slots_[index];
        const auto frame =
            std::span<const std::uint8_t>(bytes_).subspan(slot.offset, slot.frameLength);
        Datagram datagram;
        datagram.bytes = frame.subspan(slot.datagramOffset, slot.datagramLength);
        datagram.time = slot.time;
        datagram.frame = frame;
        datagram.linkType = slot.linkType;
        datagram.originalLength = slot.originalLength;
        datagram.owner.pid = slot.ownerPid;
        datagram.owner.name = {
            reinterpret_cast<const char*>(bytes_.data()) + slot.offset + slot.frameLength,
            slot.ownerNameLength};
        return datagram;
    }

private:
    struct Slot {
        std::size_t offset;  // of the frame; the owner's name follows it
        std::uint32_t frameLength;
        std::uint32_t datagramOffset;
        std::uint32_t datagramLength;
        std::uint32_t originalLength;
        int linkType;
        int ownerPid;
        std::uint32_t ownerNameLength;
        CaptureTime time;
    };
    std::vector<std::uint8_t> bytes_;
    std::vector<Slot> slots_;
};

}  // namespace ravelin
