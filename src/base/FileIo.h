#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "base/CheckCall.h"

namespace ravelin {

/// Writes all of `bytes`, going on after short writes and interruptions. A write that takes
/// nothing fails with EIO rather than being tried for ever.
CallResult WriteAll(int descriptor, std::span<const std::uint8_t> bytes);
CallResult WriteAll(int descriptor, std::string_view bytes);

/// WriteAll at `offset` (pwrite), leaving the file position alone. `written` counts what
/// reached the file, on failure too.
CallResult WriteAllAt(int descriptor, std::span<const std::uint8_t> bytes, std::uint64_t offset,
                      std::size_t& written);

/// Reads until `bytes` is full or the file ends, going on after short reads (pipes) and
/// interruptions. `got` counts the bytes read, on failure too.
CallResult ReadFully(int descriptor, std::span<std::uint8_t> bytes, std::size_t& got);

/// ReadFully at `offset` (pread), leaving the file position alone.
CallResult ReadFullyAt(int descriptor, std::span<std::uint8_t> bytes, std::uint64_t offset,
                       std::size_t& got);

/// Reads the file at `path` to its end into `contents` (replacing them). Reads until the end
/// rather than trusting the file's size: /proc files report none.
CallResult ReadFile(const std::string& path, std::string& contents);

/// What WriteFile does with a file whose writing failed.
enum class FailedFile {
    kRemove,  ///< removes it: half a file would be taken for the whole
    kKeep,    ///< keeps what was written
};

/// Writes the file at `path` through `write`, which gets its descriptor: a new file with mode
/// 0644 under the umask, or an existing one emptied. `write` runs only once the file is open.
/// Fails with the open's error, `write`'s, or the close's (which can mean lost data on NFS or
/// a full disk). A failed file is removed as `whenFailed` says, but only a regular one: a
/// device or pipe named as the target is not ours to remove.
CallResult WriteFile(const std::string& path, FailedFile whenFailed,
                     const std::function<CallResult(int descriptor)>& write);

}  // namespace ravelin
