#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace ravelin {

/// An allocator for large arrays that are filled soon after they are made (the row stores'
/// chunks): each allocation is its own anonymous mapping whose pages the kernel provides at
/// once (MAP_POPULATE). Filling the array then takes no page fault per 4 KiB, which on a
/// virtual machine costs microseconds each and, a million rows later, a good share of a
/// replay. Freed memory goes straight back to the system.
template <typename T>
struct PopulatedAllocator {
    using value_type = T;

    PopulatedAllocator() = default;
    template <typename U>
    explicit PopulatedAllocator(const PopulatedAllocator<U>& /*other*/) {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        void* mapped = ::mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(mapped);
    }
    void deallocate(T* pointer, std::size_t count) { ::munmap(pointer, count * sizeof(T)); }

    template <typename U>
    bool operator==(const PopulatedAllocator<U>& /*other*/) const {
        return true;
    }
};

}  // namespace ravelin
