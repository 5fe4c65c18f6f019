#include "attribution/linux/MountTable.h"

#include <gtest/gtest.h>

namespace ravelin {
namespace {

TEST(Cgroup2MountPointTest, FindsTheUnifiedHierarchyWhereverItIs) {
    EXPECT_EQ(Cgroup2MountPoint("sysfs /sys sysfs rw 0 0\n"
                                "cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n"
                                "cgroup2 /sys/fs/cgroup/unified cgroup2 rw 0 0\n"),
              "/sys/fs/cgroup/unified");
    EXPECT_EQ(Cgroup2MountPoint("none /mnt/my\\040cgroups\\134v2 cgroup2 rw 0 0\n"),
              "/mnt/my cgroups\\v2");
    EXPECT_EQ(Cgroup2MountPoint("cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n"), std::nullopt);
}

}  // namespace
}  // namespace ravelin
