#include "config/IniFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::vector<std::string> lines = ReadLines(path_);
    const std::string wantedSection = Lower(section);
    const std::string wantedKey = Lower(key);
    std::string newLine(key);
    newLine.append(1, '=').append(value);

    std::string current;
    bool sectionSeen = false;
    std::size_t insertAt = lines.size();
    bool written = false;
    for (std::size_t i = 0; i < lines.size() && !written; ++i) {
        std::string_view name;
        if (SectionName(lines[i], name)) {
            if (sectionSeen && current == wantedSection) break;  // end of our section
            current = Lower(name);
            if (current == wantedSection) {
                sectionSeen = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (current != wantedSection) continue;
        const std::string_view text = Trim(lines[i]);
        if (!text.empty() && text.front() != ';' && text.front() != '#') insertAt = i + 1;
        const auto equals = text.find('=');
        if (equals != std::string_view::npos && Lower(Trim(text.substr(0, equals))) == wantedKey) {
            // Keep the line's own ending, so a file written on Windows stays one.
            const bool carriageReturn = !lines[i].empty() && lines[i].back() == '\r';
            lines[i] = newLine + (carriageReturn ? "\r" : "");
            written = true;
        }
    }
    if (!written) {
        if (sectionSeen) {
            lines.insert(lines.begin() + static_cast<long>(insertAt), newLine);
        } else {
            std::string header(1, '[');
            header.append(section).append(1, ']');
            lines.push_back(std::move(header));
            lines.push_back(newLine);
        }
    }

    std::error_code ignored;
    const auto directory = std::filesystem::path(path_).parent_path();
    if (!directory.empty()) std::filesystem::create_directories(directory, ignored);
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    for (const std::string& line : lines) file << line << '\n';
    file.close();
    loaded_ = false;  // the next read parses what was written
    return static_cast<bool>(file);
}

}  // namespace ravelin
