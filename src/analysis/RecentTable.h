#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "capture/DatagramBatch.h"
#include "decode/DatagramDecoder.h"

namespace ravelin {

/// One direction of a connection: addresses and ports as the datagram carries them, and for
/// QUIC the destination connection id. Unused bytes stay zero, so the bytes compare whole.
struct ConnectionKey {
    static constexpr std::size_t kMaximumIdLength = 20;
    /// The family, both addresses (an IPv4 one in the first four of its sixteen bytes), both
    /// ports, the id's length and the id.
    std::array<std::uint8_t, 38 + kMaximumIdLength> bytes{};

    bool operator==(const ConnectionKey&) const = default;
};

/// The key of the datagram's direction, with `connectionId` (at most 20 bytes are used).
ConnectionKey MakeConnectionKey(const DecodedDatagram& packet,
                                std::span<const std::uint8_t> connectionId = {});

struct ConnectionKeyHash {
    std::size_t operator()(const ConnectionKey& key) const {
        return std::hash<std::string_view>{}(
            {reinterpret_cast<const char*>(key.bytes.data()), key.bytes.size()});
    }
};

/// Capture time in microseconds, for measuring silences.
inline std::int64_t Microseconds(CaptureTime time) {
    return time.seconds * 1'000'000 + time.microseconds;
}

/// Per-connection state with a bound on its number: when full, the entry used least recently
/// makes room. Used by one thread at a time.
template <typename Value>
class RecentTable {
public:
    explicit RecentTable(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {
        index_.reserve(capacity_ + 1);  // Insert holds one more for a moment
    }

    /// The entry, now the most recently used one; nullptr when there is none.
    Value* Find(const ConnectionKey& key) {
        const auto found = index_.find(key);
        if (found == index_.end()) return nullptr;
        order_.splice(order_.end(), order_, found->second);
        return &found->second->second;
    }

    /// Sets the entry's value, evicting the least recently used entry when the table is full.
    Value& Insert(const ConnectionKey& key, Value value) {
        // One lookup, whether the key is new (as it nearly always is) or not.
        order_.emplace_back(key, std::move(value));
        const auto newest = std::prev(order_.end());
        const auto [slot, added] = index_.try_emplace(key, newest);
        if (!added) {
            Value& existing = slot->second->second;
            existing = std::move(newest->second);
            order_.pop_back();
            order_.splice(order_.end(), order_, slot->second);
            return existing;
        }
        if (order_.size() > capacity_) {
            index_.erase(order_.front().first);
            order_.pop_front();
        }
        return newest->second;
    }

    void Erase(const ConnectionKey& key) {
        const auto found = index_.find(key);
        if (found == index_.end()) return;
        order_.erase(found->second);
        index_.erase(found);
    }

    /// Drops entries from the least recently used end for as long as `stale(value)` holds.
    template <typename Predicate>
    void DropOldestWhile(Predicate stale) {
        while (!order_.empty() && stale(std::as_const(order_.front().second))) {
            index_.erase(order_.front().first);
            order_.pop_front();
        }
    }

    std::size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }
    std::size_t capacity() const { return capacity_; }

private:
    using Entry = std::pair<ConnectionKey, Value>;
    std::size_t capacity_;
    std::list<Entry> order_;  // least recently used first
    std::unordered_map<ConnectionKey, typename std::list<Entry>::iterator, ConnectionKeyHash>
        index_;
};

}  // namespace ravelin
