#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/LargePages.h"
#include "rows/ByteArena.h"
#include "rows/Colour.h"

namespace ravelin {

/// A row as the store keeps it: the caller's content plus what the store gives every row.
/// Marks a row without a colour of its own; no colour value has a high byte.
constexpr Colour kNoColour = 0xFF000000;

template <typename Row>
struct StoredRow {
    Row row;
    std::int32_t serial = 0;    ///< the "#" column: the store's serial counter at insertion
    Colour colour = kNoColour;  ///< background colour, or kNoColour

    bool hasColour() const { return colour != kNoColour; }
};

/// The rows of one list, shared by the thread that appends them, the threads that read them
/// and the thread that clears them.
///
/// Rows are only ever appended. They live in fixed-size chunks, so that appending never moves a
/// row and a million rows cost one allocation per few thousand rows. Bytes that a row refers to
/// (a payload, a URL) are copied into the store's arena and live exactly as long as the row.
/// One lock guards everything; it is held only for the copy or read at hand, never across a
/// call into other code beyond the caller's short reader.
template <typename Row>
class RowStore {
public:
    /// A chunk is one large page of rows: it is filled soon after it is made, and a large page
    /// costs one fault where 4 KiB pages cost 512.
    static constexpr std::size_t kRowsPerChunk = large_pages::kPageBytes / sizeof(StoredRow<Row>);
    using Chunk = std::vector<StoredRow<Row>, LargePageAllocator<StoredRow<Row>>>;

    /// Rows taken out of the store by ClearRows, with the bytes they refer to. Destroying it
    /// frees them; the caller chooses when, outside any lock.
    class DetachedRows {
    public:
        DetachedRows() = default;
        DetachedRows(std::vector<std::unique_ptr<Chunk>> chunks, ByteArena arena, int rowCount)
            : chunks_(std::move(chunks)), arena_(std::move(arena)), rowCount_(rowCount) {}
        int rowCount() const { return rowCount_; }

    private:
        std::vector<std::unique_ptr<Chunk>> chunks_;
        ByteArena arena_;
        int rowCount_ = 0;
    };

    /// Appends a row and returns its index. `bytes` are copied into the store and handed to the
    /// row's AttachBytes before the row becomes visible to readers; `colour`, when given, is the
    /// row's background colour from the start.
    int InsertRow(Row row, std::span<const std::uint8_t> bytes = {},
                  std::optional<Colour> colour = std::nullopt) {
        std::lock_guard lock(mutex_);
        return InsertRowLocked(std::move(row), bytes, colour);
    }

    /// Holds the store's lock for a run of InsertRow calls, so that a writer that lists rows
    /// in groups takes it once per group. Readers wait for the whole run: keep it short, and
    /// call nothing that may wait while it lives.
    class Appender {
    public:
        explicit Appender(RowStore& store) : store_(store), lock_(store.mutex_) {}
        int InsertRow(Row row, std::span<const std::uint8_t> bytes = {},
                      std::optional<Colour> colour = std::nullopt) {
            return store_.InsertRowLocked(std::move(row), bytes, colour);
        }

    private:
        RowStore& store_;
        std::lock_guard<std::mutex> lock_;
    };

    /// Rows inserted since the last clear; also the index of the next row.
    int rowCount() const {
        std::lock_guard lock(mutex_);
        return rowCount_;
    }

    /// The serial number the next row gets. Never reset, so numbering goes on across clears.
    int nextSerial() const {
        std::lock_guard lock(mutex_);
        return nextSerial_;
    }

    /// Counts the clears, so that a view can tell a cleared list from one that did not grow.
    std::uint64_t generation() const {
        std::lock_guard lock(mutex_);
        return generation_;
    }

    /// Row count and generation read together.
    std::pair<int, std::uint64_t> Snapshot() const {
        std::lock_guard lock(mutex_);
        return {rowCount_, generation_};
    }

    /// Gives a row its background colour. An index beyond the last row keeps the colour for the
    /// row that will later be inserted there.
    void SetRowColour(std::uint32_t index, Colour colour) {
        std::lock_guard lock(mutex_);
        if (index < static_cast<std::uint32_t>(rowCount_)) {
            At(index).colour = colour & 0x00FFFFFF;
        } else {
            pendingColours_[index] = colour & 0x00FFFFFF;
        }
    }

    /// The row's colour, or 0 when it has none.
    Colour GetRowColour(std::uint32_t index) const {
        std::lock_guard lock(mutex_);
        if (index < static_cast<std::uint32_t>(rowCount_)) {
            const StoredRow<Row>& stored = At(index);
            return stored.hasColour() ? stored.colour : 0;
        }
        const auto pending = pendingColours_.find(index);
        return pending != pendingColours_.end() ? pending->second : 0;
    }

    /// Empties the store: the row count returns to 0, colours are forgotten, the serial
    /// counter keeps its value. The rows come back to the caller, who frees them.
    DetachedRows ClearRows() {
        std::lock_guard lock(mutex_);
        DetachedRows detached(std::move(chunks_), std::move(arena_), rowCount_);
        chunks_.clear();
        arena_ = ByteArena();
        pendingColours_.clear();
        rowCount_ = 0;
        ++generation_;
        return detached;
    }

    /// Runs `reader(const StoredRow<Row>&)` on one row under the lock; false for an index
    /// outside the rows. The reader must be short and must not call back into the store.
    template <typename Reader>
    bool ReadRow(int index, Reader&& reader) const {
        std::lock_guard lock(mutex_);
        if (index < 0 || index >= rowCount_) return false;
        reader(At(static_cast<std::size_t>(index)));
        return true;
    }

    /// Runs `reader(int index, const StoredRow<Row>&)` on the rows [first, first + count) that
    /// exist, in order, under one hold of the lock. Returns how many it visited.
    template <typename Reader>
    int ReadRows(int first, int count, Reader&& reader) const {
        std::lock_guard lock(mutex_);
        if (first < 0) {
            count += first;
            first = 0;
        }
        const int end = first + count < rowCount_ ? first + count : rowCount_;
        for (int index = first; index < end; ++index) {
            reader(index, At(static_cast<std::size_t>(index)));
        }
        return end > first ? end - first : 0;
    }

    /// Heap bytes the store holds for rows and their bytes (for memory figures).
    std::size_t reservedBytes() const {
        std::lock_guard lock(mutex_);
        return chunks_.size() * kRowsPerChunk * sizeof(StoredRow<Row>) + arena_.reservedBytes();
    }

private:
    int InsertRowLocked(Row row, std::span<const std::uint8_t> bytes,
                        std::optional<Colour> colour) {
        if constexpr (requires { row.AttachBytes(bytes); }) {
            row.AttachBytes(arena_.Copy(bytes));
        }
        if (chunks_.empty() || chunks_.back()->size() == kRowsPerChunk) {
            chunks_.push_back(std::make_unique<Chunk>());
            chunks_.back()->reserve(kRowsPerChunk);
        }
        const int index = rowCount_;
        StoredRow<Row> stored{std::move(row), nextSerial_, kNoColour};
        if (!pendingColours_.empty()) {
            if (auto pending = pendingColours_.find(static_cast<std::uint32_t>(index));
                pending != pendingColours_.end()) {
                stored.colour = pending->second;
                pendingColours_.erase(pending);
            }
        }
        if (colour) stored.colour = *colour & 0x00FFFFFF;
        chunks_.back()->push_back(std::move(stored));
        ++rowCount_;
        ++nextSerial_;
        return index;
    }

    StoredRow<Row>& At(std::size_t index) {
        return (*chunks_[index / kRowsPerChunk])[index % kRowsPerChunk];
    }
    const StoredRow<Row>& At(std::size_t index) const {
        return (*chunks_[index / kRowsPerChunk])[index % kRowsPerChunk];
    }

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Chunk>> chunks_;
    ByteArena arena_;
    std::unordered_map<std::uint32_t, Colour> pendingColours_;
    int rowCount_ = 0;
    int nextSerial_ = 1;
    std::uint64_t generation_ = 0;
};

}  // namespace ravelin
