#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/FileChangeWatch.h"

namespace ravelin {

/// The configuration file: an INI file read and written the way Windows' profile functions do.
///
/// Section and key names are compared without regard to case; the first of two equal keys
/// counts; values are trimmed, lose one pair of surrounding quotes and are read up to 1,023
/// characters; a missing key gives the default. A write replaces the one key in place, keeps
/// every other byte of the file (line endings included), and creates the file (and its
/// directory) when absent. It writes a new file beside the old one and renames it over it, so
/// a crash or a full disk leaves the old file whole; the new file keeps the old one's
/// permissions, and a symbolic link keeps pointing at it.
///
/// Every read looks at the file again, but the parsed contents are kept while the file's
/// modification time and size stay the same, so an edit takes effect at the next read. Where
/// the directory can be watched, a read asks the watch instead of the file system, which is
/// far cheaper than a stat() per read. Safe to use from several threads.
class IniFile {
public:
    static constexpr std::size_t kMaximumValue = 1023;

    explicit IniFile(std::string path) : path_(std::move(path)), watch_(path_) {}

    const std::string& path() const { return path_; }

    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue = {});
    /// The value's leading decimal integer (0 when it has none or it is negative), or the
    /// default when the key is missing.
    int GetInt(std::string_view section, std::string_view key, int defaultValue);
    /// Looks at the file and returns a number that changes whenever its contents may have
    /// changed (never 0), so that a caller can keep what it derived from them.
    std::uint64_t Revision();
    /// False when the file cannot be written.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);

private:
    struct Entry {
        std::string section;  // lower case
        std::string key;      // lower case
        std::string value;
    };
    struct FileStamp {
        bool exists = false;
        std::int64_t size = 0;
        std::timespec modified{};
        bool operator==(const FileStamp& other) const;
    };

    FileStamp Stamp() const;
    void ReloadIfChanged();  // caller holds mutex_
    const Entry* Find(std::string_view section, std::string_view key) const;

    std::string path_;
    std::mutex mutex_;
    FileChangeWatch watch_;  // guarded by mutex_
    bool loaded_ = false;
    std::uint64_t revision_ = 0;
    FileStamp stamp_;
    std::vector<Entry> entries_;
};

}  // namespace ravelin
