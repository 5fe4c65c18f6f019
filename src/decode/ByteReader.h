#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ravelin {

/// Reads big-endian fields (network byte order), and little-endian ones where a format says so,
/// from a byte span, and can never step past its end. A read that does not fit returns 0,
/// leaves the position where it was and marks the reader as failed.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t ReadU8() {
        if (!Fits(1)) return 0;
        return bytes_[position_++];
    }

    std::uint16_t ReadBe16() {
        if (!Fits(2)) return 0;
        auto value = static_cast<std::uint16_t>((bytes_[position_] << 8) | bytes_[position_ + 1]);
        position_ += 2;
        return value;
    }

    std::uint32_t ReadBe32() {
        if (!Fits(4)) return 0;
        std::uint32_t value = (std::uint32_t{bytes_[position_]} << 24) |
                              (std::uint32_t{bytes_[position_ + 1]} << 16) |
                              (std::uint32_t{bytes_[position_ + 2]} << 8) | bytes_[position_ + 3];
        position_ += 4;
        return value;
    }

    std::uint64_t ReadBe64() {
        if (!Fits(8)) return 0;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | bytes_[position_ + i];
        position_ += 8;
        return value;
    }

    std::uint16_t ReadLe16() {
        if (!Fits(2)) return 0;
        auto value = static_cast<std::uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
        position_ += 2;
        return value;
    }

    std::uint32_t ReadLe32() {
        if (!Fits(4)) return 0;
        std::uint32_t value = bytes_[position_] | (std::uint32_t{bytes_[position_ + 1]} << 8) |
                              (std::uint32_t{bytes_[position_ + 2]} << 16) |
                              (std::uint32_t{bytes_[position_ + 3]} << 24);
        position_ += 4;
        return value;
    }

    std::uint64_t ReadLe64() {
        if (!Fits(8)) return 0;
        std::uint64_t value = 0;
        for (std::size_t i = 8; i-- > 0;) value = (value << 8) | bytes_[position_ + i];
        position_ += 8;
        return value;
    }

    /// Four bytes exactly as they lie in memory: addresses stay in network byte order.
    std::uint32_t ReadRaw32() {
        if (!Fits(4)) return 0;
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= std::uint32_t{bytes_[position_ + i]} << (8 * RawShiftIndex(i));
        }
        position_ += 4;
        return value;
    }

    /// Two bytes exactly as they lie in memory (checksums are kept unconverted).
    std::uint16_t ReadRaw16() {
        if (!Fits(2)) return 0;
        std::uint16_t value = 0;
        for (int i = 0; i < 2; ++i) {
            value = static_cast<std::uint16_t>(
                value | (bytes_[position_ + i] << (8 * (IsLittleEndian() ? i : 1 - i))));
        }
        position_ += 2;
        return value;
    }

    /// The next `count` bytes, as a view into the reader's bytes; empty, with the reader
    /// failed, when they do not fit.
    std::span<const std::uint8_t> ReadBytes(std::size_t count) {
        if (!Fits(count)) return {};
        const auto bytes = bytes_.subspan(position_, count);
        position_ += count;
        return bytes;
    }

    void Skip(std::size_t count) {
        if (!Fits(count)) return;
        position_ += count;
    }

    void Seek(std::size_t position) {
        if (position > bytes_.size()) {
            failed_ = true;
            return;
        }
        position_ = position;
    }

    std::size_t Position() const { return position_; }
    std::size_t Remaining() const { return bytes_.size() - position_; }
    bool Failed() const { return failed_; }

private:
    static constexpr bool IsLittleEndian() { return std::endian::native == std::endian::little; }
    static constexpr int RawShiftIndex(int byteIndex) {
        return IsLittleEndian() ? byteIndex : 3 - byteIndex;
    }

    bool Fits(std::size_t count) {
        if (failed_ || count > bytes_.size() - position_) {
            failed_ = true;
            return false;
        }
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

}  // namespace ravelin
