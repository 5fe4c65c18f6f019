#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace ravelin::fuzz {

/// A path in a directory that belongs to this process alone, so that two fuzzers (or two jobs of
/// one) never write each other's files, and that holds only this target's few files: the
/// configuration file is watched through its directory, and a watch on a directory as big as
/// /tmp itself costs the kernel a walk over all its entries. In memory (/dev/shm) where there is
/// one, since a file is written for every input and a disk would make that the bottleneck.
inline std::string TempPath(std::string_view name) {
    static const std::string directory = [] {
        struct stat status {};
        const bool memory = stat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode) &&
                            access("/dev/shm", W_OK) == 0;
        std::string path =
            std::string(memory ? "/dev/shm" : "/tmp") + "/ravelin-fuzz-" + std::to_string(getpid());
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) std::abort();
        return path;
    }();
    // Gone at a normal exit; a crash leaves it, with the files of the input that crashed.
    // Registered once the path is complete, so that it runs before the path is destroyed.
    static const bool removeAtExit = std::atexit([] {
                                         std::error_code ignored;
                                         std::filesystem::remove_all(directory, ignored);
                                     }) == 0;
    (void)removeAtExit;
    return directory + "/" + std::string(name);
}

/// Replaces the file's contents with the bytes; aborts when that fails, since every later
/// check would then look at the wrong input.
inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    if (std::fclose(file) != 0) std::abort();
}

inline void WriteWholeFile(const std::string& path, std::string_view text) {
    WriteWholeFile(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

/// Gives the file a modification time long past and different for every call, like a
/// configuration file edited now and then before the current request. The object that reads it
/// can so stay the same across inputs, as in the program: the new time tells it to parse again,
/// and it parses once, whereas a file changed within the last two seconds would be parsed again
/// at every read (and a new object per input would open and close a watch each time, which
/// costs the kernel milliseconds).
inline void AgeFile(const std::string& path) {
    static std::int64_t edits = 0;
    const timespec time{static_cast<time_t>(1000000000 + ++edits), 0};
    const timespec times[2] = {time, time};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) std::abort();
}

/// A property the target checks; a plain abort, so that libFuzzer and the regression runner
/// both report it as a crash with the input that caused it.
inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace ravelin::fuzz
