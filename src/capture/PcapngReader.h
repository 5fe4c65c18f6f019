#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/DatagramBatch.h"

namespace ravelin::pcapng {

/// One packet of a pcapng file, as its block records it.
struct FilePacket {
    std::uint32_t interfaceId = 0;        ///< within its section
    int linkType = -1;                    ///< libpcap data-link type of its interface
    CaptureTime time;                     ///< in Unix time; 0 for blocks that carry none
    std::span<const std::uint8_t> frame;  ///< as captured
    std::uint32_t originalLength = 0;     ///< of the frame on the wire, as the file says
    RecordedOwner owner;                  ///< from its first comment that names a process
};

/// Parses a pcapng file that is fed to it in pieces, block by block, and hands out its packets:
/// sections in either byte order, interface descriptions (link type, snapshot length, time
/// stamp resolution and offset), enhanced, simple and obsolete packet blocks; other blocks are
/// passed over. Holds only the block under way and what was fed beyond it, and reads nothing
/// outside the bytes fed. Any malformed block ends the reading for good.
class Reader {
public:
    /// Longer blocks are taken for damage rather than buffered.
    static constexpr std::size_t kMaximumBlockLength = std::size_t{16} << 20;
    /// More interfaces in one section are taken for damage rather than kept.
    static constexpr std::size_t kMaximumInterfaces = std::size_t{1} << 16;

    enum class Status {
        kPacket,     ///< packet() holds the next packet
        kNeedBytes,  ///< the next block is not all there: Feed at least bytesWanted() more
        kError,      ///< error() says what is wrong; every later call says the same
    };

    /// Appends the next bytes of the file. Ends the life of the last packet's spans.
    void Feed(std::span<const std::uint8_t> bytes);

    /// Goes on to the next packet, over every other block.
    Status Next();

    /// The packet of the last kPacket; its spans point into the reader's buffer and last until
    /// the next Feed or Next.
    const FilePacket& packet() const { return packet_; }

    /// After kNeedBytes: how many bytes the block under way lacks at least.
    std::size_t bytesWanted() const { return wanted_; }

    /// Whether everything fed so far has been parsed into whole blocks, so that the file may
    /// end here.
    bool AtBlockBoundary() const { return position_ == buffer_.size(); }

    /// Where in the file the block after the last one parsed begins.
    std::uint64_t nextBlockOffset() const { return fileOffset_; }

    /// Whether a section header has been read.
    bool InSection() const { return inSection_; }

    /// What is wrong with the file, after kError: "block at offset <n>: <what>".
    const std::string& error() const { return error_; }

private:
    struct Interface {
        int linkType = -1;
        std::uint32_t snapLength = 0;
        bool binaryResolution = false;
        std::uint8_t resolutionExponent = 6;  ///< ticks of 10^-n (or 2^-n) seconds
        std::int64_t offsetSeconds = 0;
    };

    Status Fail(const std::string& what);
    bool ReadSectionHeader(std::span<const std::uint8_t> block, bool bigEndian);
    bool ReadInterface(std::span<const std::uint8_t> block);
    /// Fills packet_ from an enhanced or obsolete packet block; false when malformed.
    bool ReadPacket(std::uint32_t type, std::span<const std::uint8_t> block);
    bool ReadSimplePacket(std::span<const std::uint8_t> block);
    bool ReadComments(std::span<const std::uint8_t> options);

    std::vector<std::uint8_t> buffer_;
    std::size_t position_ = 0;      ///< start of the next block in buffer_
    std::uint64_t fileOffset_ = 0;  ///< of the byte at position_
    std::uint64_t blockOffset_ = 0;
    std::size_t wanted_ = 0;
    bool inSection_ = false;
    bool bigEndian_ = false;
    std::vector<Interface> interfaces_;
    FilePacket packet_;
    bool failed_ = false;
    std::string error_;
};

}  // namespace ravelin::pcapng
