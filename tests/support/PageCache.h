#pragma once

#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace ravelin::test {

/// The pages of [from, to) of the open file that are in the page cache; -1 when that cannot
/// be told.
inline long ResidentPages(int descriptor, std::uint64_t from, std::uint64_t to) {
    const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    void* mapped = ::mmap(nullptr, to, PROT_READ, MAP_SHARED, descriptor, 0);
    if (mapped == MAP_FAILED) return -1;
    std::vector<unsigned char> resident(to / pageSize);
    const bool known = ::mincore(mapped, to, resident.data()) == 0;
    ::munmap(mapped, to);
    if (!known) return -1;
    return std::count_if(resident.begin() + static_cast<std::ptrdiff_t>(from / pageSize),
                         resident.end(), [](unsigned char page) { return (page & 1) != 0; });
}

/// Whether files in `directory` live in the page cache alone (tmpfs), so that nothing can be
/// dropped from it.
inline bool InMemoryOnly(const std::string& directory) {
    struct statfs where {};
    return ::statfs(directory.c_str(), &where) == 0 && where.f_type == TMPFS_MAGIC;
}

}  // namespace ravelin::test
