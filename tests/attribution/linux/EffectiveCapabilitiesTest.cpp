#include "attribution/linux/EffectiveCapabilities.h"

#include <gtest/gtest.h>
#include <linux/capability.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace ravelin {
namespace {

// The thread's effective set as the kernel shows it in /proc.
std::optional<std::uint64_t> EffectiveSetFromProc() {
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("CapEff:")) return std::stoull(line.substr(7), nullptr, 16);
    }
    return std::nullopt;
}

TEST(EffectiveCapabilitiesTest, AgreesWithProcForEachCapabilityAndAllOfSeveral) {
    const auto effective = EffectiveSetFromProc();
    ASSERT_TRUE(effective);
    for (int capability = 0; capability < 64; ++capability) {
        const bool held = ((*effective >> capability) & 1) != 0;
        EXPECT_EQ(HasEffectiveCapabilities({capability}), held) << "capability " << capability;
    }
    const bool both =
        ((*effective >> CAP_BPF) & 1) != 0 && ((*effective >> CAP_NET_ADMIN) & 1) != 0;
    EXPECT_EQ(HasEffectiveCapabilities({CAP_BPF, CAP_NET_ADMIN}), both);
    EXPECT_TRUE(HasEffectiveCapabilities({}));
    // Numbers that name no capability are never held.
    EXPECT_FALSE(HasEffectiveCapabilities({64}));
    EXPECT_FALSE(HasEffectiveCapabilities({-1}));
}

}  // namespace
}  // namespace ravelin
