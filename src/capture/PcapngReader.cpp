#include "capture/PcapngReader.h"

#include <algorithm>
#include <array>

#include "capture/PcapngFormat.h"
#include "decode/ByteReader.h"

namespace ravelin::pcapng {

namespace {

constexpr std::size_t kBlockHeader = 8;         // type, length
constexpr std::size_t kSectionHeadNeeded = 12;  // type, length, byte-order magic
constexpr std::size_t kSectionHeaderMinimum = 28;
constexpr std::size_t kInterfaceMinimum = 20;
constexpr std::size_t kPacketMinimum = 32;  // enhanced and obsolete: 28 before the frame, trailer
constexpr std::size_t kSimplePacketMinimum = 16;
constexpr std::size_t kPacketHead = 28;
constexpr std::size_t kSimplePacketHead = 12;

constexpr std::uint16_t kOptionTimeResolution = 9;
constexpr std::uint16_t kOptionTimeOffset = 14;

// The finest resolutions whose tick count per second fits 64 bits.
constexpr std::uint8_t kMaximumDecimalExponent = 19;
constexpr std::uint8_t kMaximumBinaryExponent = 63;

constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (auto& entry : powers) {
        entry = power;
        power *= 10;
    }
    return powers;
}();

// Fields in the byte order of the section, read through the bounded reader.
class FieldReader {
public:
    FieldReader(std::span<const std::uint8_t> bytes, bool bigEndian)
        : reader_(bytes), bigEndian_(bigEndian) {}

    std::uint16_t U16() { return bigEndian_ ? reader_.ReadBe16() : reader_.ReadLe16(); }
    std::uint32_t U32() { return bigEndian_ ? reader_.ReadBe32() : reader_.ReadLe32(); }
    std::uint64_t U64() { return bigEndian_ ? reader_.ReadBe64() : reader_.ReadLe64(); }
    void Skip(std::size_t count) { reader_.Skip(count); }
    std::size_t Position() const { return reader_.Position(); }
    std::size_t Remaining() const { return reader_.Remaining(); }
    bool Failed() const { return reader_.Failed(); }

private:
    ByteReader reader_;
    bool bigEndian_;
};

std::size_t Padded(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

// Calls visit(code, value) for each option up to opt_endofopt or the end of the area; false
// when an option claims more bytes than the area has.
template <typename Visit>
bool WalkOptions(std::span<const std::uint8_t> options, bool bigEndian, Visit visit) {
    FieldReader reader(options, bigEndian);
    while (reader.Remaining() >= 4) {
        const std::uint16_t code = reader.U16();
        const std::uint16_t length = reader.U16();
        if (code == kOptionEnd) return true;
        if (length > reader.Remaining()) return false;
        visit(code, options.subspan(reader.Position(), length));
        reader.Skip(std::min(Padded(length), reader.Remaining()));
    }
    return true;
}

std::uint64_t FractionToMicroseconds(std::uint64_t fraction, bool binary, std::uint8_t exponent) {
    constexpr std::uint64_t kMicro = 1000000;
    if (!binary) {
        return exponent <= 6 ? fraction * kPowersOfTen[6 - exponent]
                             : fraction / kPowersOfTen[exponent - 6];
    }
    if (exponent < 32) return (fraction * kMicro) >> exponent;  // fraction < 2^32: no overflow
    // fraction * 10^6 needs up to 84 bits: multiply the halves and keep what the shift leaves.
    const std::uint64_t high = (fraction >> 32) * kMicro;
    const std::uint64_t low = (fraction & 0xFFFFFFFFU) * kMicro;
    return (high + (low >> 32)) >> (exponent - 32);
}

std::string BlockName(std::uint32_t type) {
    switch (type) {
        case kSectionHeaderBlock:
            return "section header";
        case kInterfaceDescriptionBlock:
            return "interface description";
        case kObsoletePacketBlock:
            return "obsolete packet block";
        case kSimplePacketBlock:
            return "simple packet block";
        case kEnhancedPacketBlock:
            return "enhanced packet block";
        default:
            return "block of type " + std::to_string(type);
    }
}

}  // namespace

void Reader::Feed(std::span<const std::uint8_t> bytes) {
    // What was parsed goes first, so that the buffer never holds more than the block under
    // way and the newly fed bytes.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = 0;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

Reader::Status Reader::Fail(const std::string& what) {
    failed_ = true;
    error_ = "block at offset " + std::to_string(blockOffset_) + ": " + what;
    return Status::kError;
}

Reader::Status Reader::Next() {
    if (failed_) return Status::kError;
    for (;;) {
        const auto available = std::span<const std::uint8_t>(buffer_).subspan(position_);
        blockOffset_ = fileOffset_;
        wanted_ = 0;
        if (available.size() < kBlockHeader) {
            wanted_ = kBlockHeader - available.size();
            return Status::kNeedBytes;
        }
        // The section header's type reads the same in both byte orders, and its magic tells
        // the order of everything after it, its own length included.
        const std::uint32_t type = FieldReader(available, bigEndian_).U32();
        bool bigEndian = bigEndian_;
        if (type == kSectionHeaderBlock) {
            if (available.size() < kSectionHeadNeeded) {
                wanted_ = kSectionHeadNeeded - available.size();
                return Status::kNeedBytes;
            }
            if (!IsPcapng(available)) return Fail("section header without byte-order magic");
            bigEndian = available[8] == 0x1A;
        } else if (!inSection_) {
            return Fail("the file does not begin with a section header");
        }
        FieldReader head(available, bigEndian);
        head.Skip(4);
        const std::uint32_t length = head.U32();
        if (length < 12 || length % 4 != 0) {
            return Fail(BlockName(type) + " of length " + std::to_string(length) +
                        ", not a multiple of 4 of at least 12");
        }
        if (length > kMaximumBlockLength) {
            return Fail(BlockName(type) + " of length " + std::to_string(length) +
                        ", longer than the " + std::to_string(kMaximumBlockLength >> 20) +
                        " MiB Ravelin reads");
        }
        if (available.size() < length) {
            wanted_ = length - available.size();
            return Status::kNeedBytes;
        }
        const auto block = available.first(length);
        FieldReader tail(block.last(4), bigEndian);
        const std::uint32_t trailer = tail.U32();
        if (trailer != length) {
            return Fail(BlockName(type) + " of length " + std::to_string(length) +
                        " ends with length " + std::to_string(trailer));
        }
        position_ += length;
        fileOffset_ += length;

        switch (type) {
            case kSectionHeaderBlock:
                if (!ReadSectionHeader(block, bigEndian)) return Status::kError;
                break;
            case kInterfaceDescriptionBlock:
                if (!ReadInterface(block)) return Status::kError;
                break;
            case kEnhancedPacketBlock:
            case kObsoletePacketBlock:
                if (!ReadPacket(type, block)) return Status::kError;
                return Status::kPacket;
            case kSimplePacketBlock:
                if (!ReadSimplePacket(block)) return Status::kError;
                return Status::kPacket;
            default:
                break;  // statistics, name resolution, custom blocks: nothing Ravelin shows
        }
    }
}

bool Reader::ReadSectionHeader(std::span<const std::uint8_t> block, bool bigEndian) {
    if (block.size() < kSectionHeaderMinimum) {
        Fail("section header of length " + std::to_string(block.size()) + ", shorter than " +
             std::to_string(kSectionHeaderMinimum));
        return false;
    }
    FieldReader reader(block, bigEndian);
    reader.Skip(12);  // type, length, magic
    const std::uint16_t major = reader.U16();
    const std::uint16_t minor = reader.U16();
    if (major != 1) {
        Fail("section of version " + std::to_string(major) + "." + std::to_string(minor) +
             "; Ravelin reads version 1");
        return false;
    }
    // Interface numbers start again in every section, and so may the byte order.
    inSection_ = true;
    bigEndian_ = bigEndian;
    interfaces_.clear();
    return true;
}

bool Reader::ReadInterface(std::span<const std::uint8_t> block) {
    if (block.size() < kInterfaceMinimum) {
        Fail("interface description of length " + std::to_string(block.size()) + ", shorter than " +
             std::to_string(kInterfaceMinimum));
        return false;
    }
    if (interfaces_.size() >= kMaximumInterfaces) {
        Fail("more than " + std::to_string(kMaximumInterfaces) + " interfaces in one section");
        return false;
    }
    FieldReader reader(block, bigEndian_);
    reader.Skip(8);
    Interface interface;
    interface.linkType = DltOfFileLinkType(reader.U16());
    reader.Skip(2);  // reserved
    interface.snapLength = reader.U32();
    bool resolutionTooFine = false;
    const bool optionsFit = WalkOptions(
        block.subspan(16, block.size() - 20), bigEndian_,
        [&](std::uint16_t code, std::span<const std::uint8_t> value) {
            if (code == kOptionTimeResolution && value.size() == 1) {
                interface.binaryResolution = (value[0] & 0x80) != 0;
                interface.resolutionExponent = value[0] & 0x7F;
                resolutionTooFine =
                    interface.resolutionExponent >
                    (interface.binaryResolution ? kMaximumBinaryExponent : kMaximumDecimalExponent);
            } else if (code == kOptionTimeOffset && value.size() == 8) {
                interface.offsetSeconds =
                    static_cast<std::int64_t>(FieldReader(value, bigEndian_).U64());
            }
        });
    if (!optionsFit) {
        Fail("interface description with an option longer than its block");
        return false;
    }
    if (resolutionTooFine) {
        Fail("interface " + std::to_string(interfaces_.size()) + " with time stamps of " +
             (interface.binaryResolution ? "2^-" : "10^-") +
             std::to_string(interface.resolutionExponent) + " seconds, finer than Ravelin reads");
        return false;
    }
    interfaces_.push_back(interface);
    return true;
}

bool Reader::ReadPacket(std::uint32_t type, std::span<const std::uint8_t> block) {
    if (block.size() < kPacketMinimum) {
        Fail(BlockName(type) + " of length " + std::to_string(block.size()) + ", shorter than " +
             std::to_string(kPacketMinimum));
        return false;
    }
    FieldReader reader(block, bigEndian_);
    reader.Skip(8);
    std::uint32_t interfaceId = 0;
    if (type == kObsoletePacketBlock) {
        interfaceId = reader.U16();
        reader.Skip(2);  // drop count
    } else {
        interfaceId = reader.U32();
    }
    const std::uint64_t high = reader.U32();
    const std::uint64_t ticks = (high << 32) | reader.U32();
    const std::uint32_t captured = reader.U32();
    const std::uint32_t original = reader.U32();
    if (interfaceId >= interfaces_.size()) {
        Fail(BlockName(type) + " of interface " + std::to_string(interfaceId) +
             ", but the section describes " + std::to_string(interfaces_.size()));
        return false;
    }
    const std::size_t room = block.size() - kPacketMinimum;
    if (captured > room) {
        Fail(BlockName(type) + " with " + std::to_string(captured) +
             " captured bytes in room for " + std::to_string(room));
        return false;
    }
    const Interface& interface = interfaces_[interfaceId];
    const std::uint8_t exponent = interface.resolutionExponent;
    const std::uint64_t unitsPerSecond =
        interface.binaryResolution ? std::uint64_t{1} << exponent : kPowersOfTen[exponent];
    // Wrapping arithmetic: a file may name any time, and none of them may be undefined.
    const std::uint64_t seconds =
        ticks / unitsPerSecond + static_cast<std::uint64_t>(interface.offsetSeconds);
    const std::uint64_t micro =
        FractionToMicroseconds(ticks % unitsPerSecond, interface.binaryResolution, exponent);

    packet_ = FilePacket{};
    packet_.interfaceId = interfaceId;
    packet_.linkType = interface.linkType;
    packet_.time = {static_cast<std::int64_t>(seconds), static_cast<std::int32_t>(micro)};
    packet_.frame = block.subspan(kPacketHead, captured);
    packet_.originalLength = original;
    const std::size_t optionsStart = kPacketHead + Padded(captured);
    if (!ReadComments(block.subspan(optionsStart, block.size() - 4 - optionsStart))) {
        Fail(BlockName(type) + " with an option longer than its block");
        return false;
    }
    return true;
}

bool Reader::ReadSimplePacket(std::span<const std::uint8_t> block) {
    if (block.size() < kSimplePacketMinimum) {
        Fail("simple packet block of length " + std::to_string(block.size()) + ", shorter than " +
             std::to_string(kSimplePacketMinimum));
        return false;
    }
    if (interfaces_.empty()) {
        Fail("simple packet block in a section that describes no interface");
        return false;
    }
    FieldReader reader(block, bigEndian_);
    reader.Skip(8);
    const std::uint32_t original = reader.U32();
    const Interface& interface = interfaces_.front();
    // The block holds no captured length: the frame is cut by the snapshot length, and what
    // follows it up to the block's end is padding.
    std::size_t captured = std::min<std::size_t>(original, block.size() - kSimplePacketMinimum);
    if (interface.snapLength != 0) {
        captured = std::min<std::size_t>(captured, interface.snapLength);
    }
    packet_ = FilePacket{};
    packet_.linkType = interface.linkType;
    packet_.frame = block.subspan(kSimplePacketHead, captured);
    packet_.originalLength = original;
    return true;
}

bool Reader::ReadComments(std::span<const std::uint8_t> options) {
    return WalkOptions(options, bigEndian_,
                       [this](std::uint16_t code, std::span<const std::uint8_t> value) {
                           if (code != kOptionComment || packet_.owner.known()) return;
                           const std::string_view comment(
                               reinterpret_cast<const char*>(value.data()), value.size());
                           const auto owner = ParseOwnerComment(comment);
                           if (!owner) return;
                           packet_.owner.pid = owner->pid;
                           // The name runs to the comment's end: keep it where it lies.
                           packet_.owner.name = comment.substr(comment.size() - owner->name.size());
                       });
}

}  // namespace ravelin::pcapng
