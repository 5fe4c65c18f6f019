#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ravelin {

/// Where the cgroup v2 hierarchy is mounted, from the text of /proc/self/mounts.
std::optional<std::string> Cgroup2MountPoint(std::string_view mounts);

}  // namespace ravelin
