#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "base/LargePages.h"

namespace ravelin {

/// Append-only storage for the payload bytes of many rows: one block of large pages per 2 MiB
/// instead of one allocation per row. Everything is freed together when the arena goes.
class ByteArena {
public:
    static constexpr std::size_t kBlockSize = large_pages::kPageBytes;

    /// Copies the bytes into the arena and returns the copy; an empty span stays empty.
    std::span<const std::uint8_t> Copy(std::span<const std::uint8_t> bytes) {
        if (bytes.empty()) return {};
        if (bytes.size() > capacity_ - used_) {
            // Payloads larger than a block get a block of their own, rounded up to large pages.
            capacity_ = large_pages::Rounded(bytes.size());
            blocks_.push_back(MapLargePageBytes(capacity_));
            used_ = 0;
            reserved_ += capacity_;
        }
        std::uint8_t* destination = blocks_.back().get() + used_;
        std::memcpy(destination, bytes.data(), bytes.size());
        used_ += bytes.size();
        return {destination, bytes.size()};
    }

    /// Bytes taken from the heap, used or not.
    std::size_t reservedBytes() const { return reserved_; }

private:
    std::vector<LargePageBytes> blocks_;
    std::size_t capacity_ = 0;  // of the last block
    std::size_t used_ = 0;      // of the last block
    std::size_t reserved_ = 0;
};

}  // namespace ravelin
