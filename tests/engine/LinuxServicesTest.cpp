#include "engine/LinuxServices.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "support/PageCache.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

// A live capture's spool leaves the page cache behind its end; a replay's stays there, its
// bytes being on disk in the replayed file already.
TEST(LinuxServicesTest, OnlyALiveCapturesSpoolIsWrittenBehind) {
    test::TempDir cache;
    if (test::InMemoryOnly(cache.path())) GTEST_SKIP() << "a tmpfs file lives in the page cache";
    // NOLINTNEXTLINE(concurrency-mt-unsafe): set before any thread of the test runs
    ASSERT_EQ(::setenv("XDG_CACHE_HOME", cache.path().c_str(), 1), 0);
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    for (const bool live : {true, false}) {
        SCOPED_TRACE(live);
        SystemServices services =
            LinuxServices(live ? std::nullopt : std::optional<std::string>("replayed.pcap"));
        std::string error;
        ASSERT_TRUE(OpenSpool(services, error)) << error;
        const UniqueFd file(::open(services.spool->path().c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(file.valid());
        const std::vector<std::uint8_t> frame(60000, 0x42);
        const auto append = [&](std::uint64_t upTo) {
            while (services.spool->size() < upTo) {
                ASSERT_TRUE(services.spool->Append(Datagram::Raw(frame, {}), {}).has_value());
            }
        };
        // What the disk has by now is dropped once the file has grown far enough beyond it.
        append(12 * kMiB);
        ASSERT_EQ(::fdatasync(file.get()), 0);
        append(32 * kMiB);
        const auto dropped = [&] {
            return test::ResidentPages(file.get(), 5 * kMiB, 8 * kMiB) == 0;
        };
        EXPECT_EQ(test::WaitUntil(dropped, live ? test::kDeadline : std::chrono::milliseconds(200)),
                  live);
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the test's threads are gone
    ::unsetenv("XDG_CACHE_HOME");
}

}  // namespace
}  // namespace ravelin
