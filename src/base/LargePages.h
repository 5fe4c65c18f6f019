#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace ravelin {

/// Memory for large arrays that are filled soon after they are made (the row stores' chunks,
/// the bytes their rows refer to), in 2 MiB pieces the kernel may back with large pages.
///
/// Each allocation is its own anonymous mapping, aligned to 2 MiB and marked for transparent
/// large pages, with its pages provided at once. The first write to a fresh 4 KiB page costs a
/// fault, and on a virtual machine with shadow page tables several microseconds more: 48 MB
/// written for the first time took 60-90 ms there against 2-3 ms the second time, and 4-10 ms
/// in large pages. Where large pages are off or none are free, the kernel falls back to small
/// ones, still provided up front. Freed memory goes straight back to the system.
namespace large_pages {

inline constexpr std::size_t kPageBytes = std::size_t{2} << 20;

/// `bytes` rounded up to whole large pages: what Map maps and Unmap must be given.
constexpr std::size_t Rounded(std::size_t bytes) {
    return (bytes + kPageBytes - 1) / kPageBytes * kPageBytes;
}

/// Maps Rounded(bytes) of zeroed memory aligned to kPageBytes; throws std::bad_alloc.
inline void* Map(std::size_t bytes) {
    const std::size_t size = Rounded(bytes);
    if (size < bytes || size + kPageBytes < size) throw std::bad_alloc();
    // Mapped one large page longer, then trimmed to an aligned start: the kernel places a
    // mapping on any 4 KiB boundary, and a large page needs its own alignment.
    void* mapped = ::mmap(nullptr, size + kPageBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    auto* base = static_cast<std::uint8_t*>(mapped);
    const auto misalignment = reinterpret_cast<std::uintptr_t>(mapped) % kPageBytes;
    const std::size_t lead = misalignment == 0 ? 0 : kPageBytes - misalignment;
    std::uint8_t* memory = base + lead;
    if (lead > 0) ::munmap(base, lead);
    ::munmap(memory + size, kPageBytes - lead);
    // Both are advice: a kernel without them, or with large pages switched off, still gives
    // working memory.
    (void)::madvise(memory, size, MADV_HUGEPAGE);
    (void)::madvise(memory, size, MADV_POPULATE_WRITE);
    return memory;
}

inline void Unmap(void* memory, std::size_t bytes) {
    ::munmap(memory, Rounded(bytes));
}

}  // namespace large_pages

/// A std allocator over large_pages, for the row stores' fixed-size chunks.
template <typename T>
struct LargePageAllocator {
    using value_type = T;

    LargePageAllocator() = default;
    template <typename U>
    explicit LargePageAllocator(const LargePageAllocator<U>& /*other*/) {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(large_pages::Map(count * sizeof(T)));
    }
    void deallocate(T* pointer, std::size_t count) {
        large_pages::Unmap(pointer, count * sizeof(T));
    }

    template <typename U>
    bool operator==(const LargePageAllocator<U>& /*other*/) const {
        return true;
    }
};

/// A block of bytes in large pages, freed with the pointer.
struct LargePageUnmapper {
    std::size_t bytes = 0;
    void operator()(std::uint8_t* memory) const { large_pages::Unmap(memory, bytes); }
};
using LargePageBytes = std::unique_ptr<std::uint8_t[], LargePageUnmapper>;

inline LargePageBytes MapLargePageBytes(std::size_t bytes) {
    return LargePageBytes(static_cast<std::uint8_t*>(large_pages::Map(bytes)),
                          LargePageUnmapper{bytes});
}

}  // namespace ravelin
