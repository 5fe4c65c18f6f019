#include "config/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>

#include "base/FileIo.h"
#include "base/UniqueFd.h"

namespace ravelin {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "[name]" gives name; anything else gives nothing.
bool SectionName(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return false;
    const auto close = line.find(']');
    if (close == std::string_view::npos) return false;
    name = Trim(line.substr(1, close - 1));
    return true;
}

std::string CleanValue(std::string_view value) {
    value = Trim(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, IniFile::kMaximumValue));
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path, std::ios::binary);
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
}

// A line of the file as it is written: its text and its own line ending ("\n", "\r\n", or
// none for a last line without one), so that a write changes no other byte.
struct RawLine {
    std::string text;
    std::string ending;
};

// The file's lines; none when it does not exist, nothing when it exists but cannot be read
// (a write must not replace what it could not see).
std::optional<std::vector<RawLine>> ReadRawLines(const std::string& path) {
    std::string all;
    if (const CallResult read = ReadFile(path, all); !read.succeeded()) {
        if (read.error().code == ENOENT) return std::vector<RawLine>{};
        return std::nullopt;
    }
    std::vector<RawLine> lines;
    for (std::size_t start = 0; start < all.size();) {
        const auto newline = all.find('\n', start);
        const std::size_t end = newline == std::string::npos ? all.size() : newline;
        RawLine line{all.substr(start, end - start), {}};
        if (newline != std::string::npos) {
            line.ending = "\n";
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.pop_back();
                line.ending = "\r\n";
            }
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// Writes `contents` to a new file beside `target` and renames it over `target`, so that a crash
// or a full disk leaves either the old file or the new one, whole. The new file takes the old
// one's permissions and, where this process may give them, its owner.
bool ReplaceFile(const std::filesystem::path& target, std::string_view contents) {
    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        // A device or a pipe (--config /dev/null) is written to, never renamed over: run as
        // root, the rename replaced the system's /dev/null with a plain file.
        UniqueFd device(
            ::open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        return device.valid() && WriteAll(device.get(), contents).succeeded();
    }
    std::filesystem::path temporary;
    UniqueFd file;
    for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        temporary = target.parent_path() /
                    ("." + target.filename().string() + "." + std::to_string(::getpid()) + "-" +
                     std::to_string(stamp) + ".tmp");
        // 0666 under the umask, as a newly created file would get.
        file.Reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!file.valid() && errno != EEXIST) return false;
    }
    if (!file.valid()) return false;
    if (existed) {
        // Fails unless root, who must not leave a user's file owned by root. Before the mode,
        // which a change of owner may clear bits of.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            (void)::fchown(file.get(), old.st_uid, old.st_gid);
        }
        (void)::fchmod(file.get(), old.st_mode & 07777);
    }
    bool written = WriteAll(file.get(), contents).succeeded() && ::fsync(file.get()) == 0;
    written = file.Close() == 0 && written;
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        (void)::unlink(temporary.c_str());
        return false;
    }
    // The rename itself lasts once the directory is on disk.
    const auto directory =
        target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
    const UniqueFd directoryFile(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFile.valid()) (void)::fsync(directoryFile.get());
    return true;
}

}  // namespace

bool IniFile::FileStamp::operator==(const FileStamp& other) const {
    return exists == other.exists && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

IniFile::FileStamp IniFile::Stamp() const {
    FileStamp stamp;
    struct stat status {};
    if (stat(path_.c_str(), &status) == 0) {
        stamp.exists = true;
        stamp.size = status.st_size;
        stamp.modified = status.st_mtim;
    }
    return stamp;
}

void IniFile::ReloadIfChanged() {
    if (loaded_ && !watch_.MaybeChanged()) return;
    const FileStamp stamp = Stamp();
    // File times advance in coarse steps, so two edits close together can leave the same time
    // and size: a file changed within the last two seconds is always read again.
    std::timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const bool recentlyChanged = stamp.exists && now.tv_sec - stamp.modified.tv_sec < 2;
    if (loaded_ && stamp == stamp_ && !recentlyChanged) return;
    entries_.clear();
    std::string section;
    for (const std::string& line : ReadLines(path_)) {
        std::string_view name;
        if (SectionName(line, name)) {
            section = Lower(name);
            continue;
        }
        const std::string_view text = Trim(line);
        if (text.empty() || text.front() == ';' || text.front() == '#') continue;
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        entries_.push_back(
            {section, Lower(Trim(text.substr(0, equals))), CleanValue(text.substr(equals + 1))});
    }
    stamp_ = stamp;
    loaded_ = true;
    ++revision_;
}

std::uint64_t IniFile::Revision() {
    std::lock_guard lock(mutex_);
    ReloadIfChanged();
    return revision_;
}

const IniFile::Entry* IniFile::Find(std::string_view section, std::string_view key) const {
    const std::string wantedSection = Lower(section);
    const std::string wantedKey = Lower(key);
    for (const Entry& entry : entries_) {
        if (entry.section == wantedSection && entry.key == wantedKey) return &entry;
    }
    return nullptr;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue) {
    std::lock_guard lock(mutex_);
    ReloadIfChanged();
    if (const Entry* entry = Find(section, key)) return entry->value;
    return std::string(defaultValue.substr(0, kMaximumValue));
}

int IniFile::GetInt(std::string_view section, std::string_view key, int defaultValue) {
    std::string value;
    {
        std::lock_guard lock(mutex_);
        ReloadIfChanged();
        const Entry* entry = Find(section, key);
        if (entry == nullptr) return defaultValue;
        value = entry->value;
    }
    // Like GetPrivateProfileInt: the leading digits, 0 for text that is no number and for a
    // negative number.
    int number = 0;
    std::from_chars(value.data(), value.data() + value.size(), number);
    return number < 0 ? 0 : number;
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    // A link (a dotfile kept elsewhere) stays a link: the file it names is the one replaced.
    std::filesystem::path target = path_;
    std::error_code ignored;
    if (std::filesystem::is_symlink(target, ignored)) {
        target = std::filesystem::weakly_canonical(target, ignored);
        if (ignored) return false;
    }
    const auto read = ReadRawLines(target.string());
    if (!read) return false;
    std::vector<RawLine> lines = *read;
    const std::string wantedSection = Lower(section);
    const std::string wantedKey = Lower(key);
    std::string newLine(key);
    newLine.append(1, '=').append(value);
    // Added lines end like the file's first line, so a file written on Windows stays one.
    const std::string ending = !lines.empty() && lines.front().ending == "\r\n" ? "\r\n" : "\n";

    std::string current;
    bool sectionSeen = false;
    std::size_t insertAt = lines.size();
    bool written = false;
    for (std::size_t i = 0; i < lines.size() && !written; ++i) {
        std::string_view name;
        if (SectionName(lines[i].text, name)) {
            if (sectionSeen && current == wantedSection) break;  // end of our section
            current = Lower(name);
            if (current == wantedSection) {
                sectionSeen = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (current != wantedSection) continue;
        const std::string_view text = Trim(lines[i].text);
        if (!text.empty() && text.front() != ';' && text.front() != '#') insertAt = i + 1;
        const auto equals = text.find('=');
        if (equals != std::string_view::npos && Lower(Trim(text.substr(0, equals))) == wantedKey) {
            lines[i].text = newLine;  // its own line ending stays
            written = true;
        }
    }
    if (!written) {
        std::vector<RawLine> added;
        if (!sectionSeen) {
            std::string header(1, '[');
            header.append(section).append(1, ']');
            added.push_back({std::move(header), ending});
        }
        added.push_back({newLine, ending});
        // The line before the new ones needs an ending of its own.
        if (insertAt > 0 && lines[insertAt - 1].ending.empty()) lines[insertAt - 1].ending = ending;
        lines.insert(lines.begin() + static_cast<long>(insertAt), added.begin(), added.end());
    }

    std::string contents;
    for (const RawLine& line : lines) contents.append(line.text).append(line.ending);
    if (!target.parent_path().empty())
        std::filesystem::create_directories(target.parent_path(), ignored);
    loaded_ = false;  // the next read parses the file again, whatever happened here
    return ReplaceFile(target, contents);
}

}  // namespace ravelin
