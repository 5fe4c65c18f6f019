#include "base/LargePages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace ravelin {
namespace {

// Whether the page at `address` is mapped: msync fails with ENOMEM where nothing is.
bool Mapped(const std::uint8_t* address) {
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto page = reinterpret_cast<std::uintptr_t>(address) / pageSize * pageSize;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): msync wants the page's start
    if (::msync(reinterpret_cast<void*>(page), pageSize, MS_ASYNC) == 0) return true;
    return errno != ENOMEM;
}

// Each mapping starts on a large page, holds whole large pages of zeroes that can be written,
// keeps nothing of the extra length it was mapped with, and goes whole when unmapped.
TEST(LargePagesTest, MappingsAreAlignedWholeAndGoneWhenUnmapped) {
    const std::size_t page = large_pages::kPageBytes;
    for (const std::size_t bytes : {std::size_t{1}, page, page + 1, 5 * page + 123}) {
        SCOPED_TRACE(bytes);
        auto* memory = static_cast<std::uint8_t*>(large_pages::Map(bytes));
        const std::size_t size = large_pages::Rounded(bytes);
        EXPECT_EQ(size % page, 0U);
        EXPECT_GE(size, bytes);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % page, 0U);
        for (const std::size_t at : {std::size_t{0}, bytes - 1, size - 1}) EXPECT_EQ(memory[at], 0);
        for (const std::size_t at : {std::size_t{0}, bytes - 1, size - 1}) memory[at] = 0x5A;
        EXPECT_FALSE(Mapped(memory + size));
        large_pages::Unmap(memory, bytes);
        EXPECT_FALSE(Mapped(memory));
        EXPECT_FALSE(Mapped(memory + size - 1));
    }
    std::vector<std::uint64_t, LargePageAllocator<std::uint64_t>> rows;
    rows.reserve(1000);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rows.data()) % page, 0U);
}

}  // namespace
}  // namespace ravelin
