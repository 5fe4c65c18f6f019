#include "attribution/linux/MountTable.h"

#include <sstream>

namespace ravelin {

namespace {

// The mount table escapes blanks and backslashes in paths as three octal digits.
std::string UnescapeMountPath(std::string_view text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const auto digit = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
            if (digit(i + 1) && digit(i + 2) && digit(i + 3)) {
                path += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                          (text[i + 3] - '0'));
                i += 3;
                continue;
            }
        }
        path += text[i];
    }
    return path;
}

}  // namespace

std::optional<std::string> Cgroup2MountPoint(std::string_view mounts) {
    std::istringstream lines{std::string(mounts)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string source, mountPoint, type;
        if (fields >> source >> mountPoint >> type && type == "cgroup2") {
            return UnescapeMountPath(mountPoint);
        }
    }
    return std::nullopt;
}

}  // namespace ravelin
