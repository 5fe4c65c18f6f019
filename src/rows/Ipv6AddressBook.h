#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace ravelin {

/// The IPv6 addresses that packet rows name, each kept once: a row holds an address's number,
/// four bytes like an IPv4 address, where sixteen would grow every row. A capture meets few
/// distinct addresses, so the book stays small, and it is never emptied: rows of any
/// generation, and copies of them, keep their addresses.
class Ipv6AddressBook {
public:
    using Address = std::array<std::uint8_t, 16>;

    /// The address's number, given it now if it is new. Called by the thread that lists rows.
    std::uint32_t Number(const Address& address) {
        // Most packets repeat the address of the packet before.
        if (last_ && address == *last_) return lastNumber_;
        const std::lock_guard lock(mutex_);
        const auto [entry, added] =
            numbers_.try_emplace(address, static_cast<std::uint32_t>(addresses_.size()));
        if (added) addresses_.push_back(address);
        last_ = &entry->first;
        lastNumber_ = entry->second;
        return entry->second;
    }

    /// The address with this number; all zeros for a number never given.
    Address At(std::uint32_t number) const {
        const std::lock_guard lock(mutex_);
        return number < addresses_.size() ? addresses_[number] : Address{};
    }

private:
    struct Hash {
        std::size_t operator()(const Address& address) const {
            std::uint64_t high = 0;
            std::uint64_t low = 0;
            for (std::size_t i = 0; i < 8; ++i) {
                high = high << 8 | address[i];
                low = low << 8 | address[i + 8];
            }
            return std::hash<std::uint64_t>{}(high * 0x9E3779B97F4A7C15ULL ^ low);
        }
    };

    mutable std::mutex mutex_;
    std::unordered_map<Address, std::uint32_t, Hash> numbers_;  // guarded by mutex_
    std::vector<Address> addresses_;                            // guarded by mutex_
    // The listing thread's own: keys of an unordered_map stay where they are.
    const Address* last_ = nullptr;
    std::uint32_t lastNumber_ = 0;
};

}  // namespace ravelin
