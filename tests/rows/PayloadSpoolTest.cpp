#include "rows/PayloadSpool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "rows/CaptureLists.h"
#include "support/PageCache.h"
#include "support/TempDir.h"
#include "support/TestSpool.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

using test::AddTestPacket;
using test::PayloadOf;
using test::TempDir;

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

std::unique_ptr<PayloadSpool> SpoolIn(const std::filesystem::path& directory) {
    SystemError error;
    auto spool = PayloadSpool::Create({directory.string()}, error);
    EXPECT_NE(spool, nullptr) << error.reason;
    return spool;
}

PacketRow RowNumbered(std::uint32_t number) {
    PacketRow row;
    row.sourceAddress = number;
    return row;
}

std::string PayloadFor(int index) {
    // Every seventh is large, so that the rows span several written buffers.
    return std::to_string(index) + (index % 7 == 0 ? std::string(1500, 'b') : "");
}

TEST(PayloadSpoolTest, RowsReadBackAcrossWritesAndCleanEmptiesTheFile) {
    TempDir dir;
    std::string path;
    {
        CaptureLists lists(SpoolIn(dir.path() / "cache"));
        ASSERT_NE(lists.spool, nullptr);
        path = lists.spool->path();
        EXPECT_EQ(std::filesystem::path(path).parent_path(), dir.path() / "cache");
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600U);
        ASSERT_EQ(::stat((dir.path() / "cache").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700U);

        constexpr int kRows = 3 * RowStore<PacketRow>::kRowsPerChunk + 17;
        for (int index = 0; index < kRows; ++index) {
            AddTestPacket(lists, RowNumbered(static_cast<std::uint32_t>(index)),
                          Bytes(PayloadFor(index)));
        }
        EXPECT_GT(std::filesystem::file_size(path), 2 * PayloadSpool::kWriteBuffer);
        int wrong = 0;
        for (int index = 0; index < kRows; ++index) {
            if (Text(PayloadOf(lists, index)) != PayloadFor(index)) ++wrong;
        }
        EXPECT_EQ(wrong, 0);
        // A preview asks for less; the row beyond the last gives nothing.
        std::vector<std::uint8_t> preview;
        EXPECT_TRUE(lists.ReadPacket(7, 3, preview, [](const auto&, auto) {}));
        EXPECT_EQ(Text(preview), "7bb");
        EXPECT_TRUE(PayloadOf(lists, kRows).empty());

        lists.ClearBoth();
        EXPECT_EQ(std::filesystem::file_size(path), 0U);
        EXPECT_LT(lists.spool->size(), 100U);  // the section header, not yet written
        AddTestPacket(lists, RowNumbered(1), Bytes("after"));
        EXPECT_EQ(Text(PayloadOf(lists, 0)), "after");
        // A reader that took the old generation is refused rather than given new bytes.
        EXPECT_FALSE(lists.spool->Read(0, 5, lists.spool->generation() - 1, preview));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(PayloadSpoolTest, EachInstanceHasItsOwnAndAbandonedOnesGo) {
    TempDir dir;
    auto first = SpoolIn(dir.path());
    // What a crashed instance leaves: a spool that nobody holds locked.
    const auto abandoned = dir.path() / "ravelin-spool-crashd.pcapng";
    std::ofstream(abandoned) << "old";
    // One that a running instance holds stays, whatever its name says.
    const auto held = dir.path() / "ravelin-spool-runnin.pcapng";
    std::ofstream(held) << "live";
    const UniqueFd holder(::open(held.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);

    auto second = SpoolIn(dir.path());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first->path(), second->path());
    EXPECT_TRUE(std::filesystem::exists(first->path()));
    EXPECT_FALSE(std::filesystem::exists(abandoned));
    EXPECT_TRUE(std::filesystem::exists(held));

    // A directory that cannot be made is passed over for the next.
    SystemError error;
    const auto fallback =
        PayloadSpool::Create({(held / "not-a-directory").string(), dir.path().string()}, error);
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(std::filesystem::path(fallback->path()).parent_path(), dir.path());
    EXPECT_EQ(PayloadSpool::Create({(held / "x").string()}, error), nullptr);
    EXPECT_NE(error.code, 0);
}

// A disk that fills up: appends stop with the reason, every row listed before stays whole,
// a save still writes all of them, and Clean starts afresh.
TEST(PayloadSpoolTest, AFullDiskStopsAppendsAndKeepsEveryRow) {
    TempDir dir;
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string mountPoint = (dir.path() / "small").string();
    std::filesystem::create_directories(mountPoint);
    if (std::system(("mount -t tmpfs -o size=2m tmpfs " + mountPoint).c_str()) != 0) {
        GTEST_SKIP() << "cannot mount tmpfs here";
    }
    int listed = 0;
    int wrong = 0;
    int failedCode = 0;
    int saveError = -1;
    std::uintmax_t savedSize = 0;
    bool appendsAfterClean = false;
    {
        CaptureLists lists(SpoolIn(mountPoint));
        if (lists.spool != nullptr) {
            const std::string payload(3000, 'f');
            for (int index = 0; index < 10000; ++index) {
                PacketRow row = RowNumbered(static_cast<std::uint32_t>(index));
                row.record.length = static_cast<std::uint16_t>(payload.size());
                std::lock_guard update(lists.updateMutex);
                const auto datagram =
                    Datagram::Raw(std::span(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                            payload.size()),
                                  {});
                if (!lists.AddPacket(row, datagram, 0, kNoColour, {})) break;
                ++listed;
            }
            failedCode = lists.spool->failure() ? lists.spool->failure()->code : 0;
            for (int index = 0; index < listed; ++index) {
                if (PayloadOf(lists, index).size() != 3000U) ++wrong;
            }
            const auto saved = dir.path() / "saved.pcapng";
            const UniqueFd out(
                ::open(saved.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            const CallResult copied = lists.spool->CopyTo(out.get());
            saveError = copied.succeeded() ? 0 : copied.error().code;
            savedSize = std::filesystem::file_size(saved);
            EXPECT_EQ(savedSize, lists.spool->size());
            lists.ClearBoth();
            appendsAfterClean = AddTestPacket(lists, RowNumbered(1), Bytes("again")) == 0 &&
                                Text(PayloadOf(lists, 0)) == "again";
        }
    }
    std::system(("umount " + mountPoint).c_str());
    EXPECT_GT(listed, 300);
    EXPECT_LT(listed, 10000);
    EXPECT_EQ(failedCode, ENOSPC);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(saveError, 0);
    EXPECT_GT(savedSize, static_cast<std::uintmax_t>(listed) * 3000U);
    EXPECT_TRUE(appendsAfterClean);
}

// A spool deleted behind Ravelin's back (a cache cleaner) stops taking packets with the reason,
// and what it holds stays readable through its open file.
TEST(PayloadSpoolTest, ADeletedSpoolStopsAppendsAndKeepsEveryRow) {
    TempDir dir;
    CaptureLists lists(SpoolIn(dir.path()));
    ASSERT_NE(lists.spool, nullptr);
    AddTestPacket(lists, RowNumbered(0), Bytes("before"));
    std::filesystem::remove(lists.spool->path());
    const std::string big(60000, 'd');
    int listed = 1;
    for (; listed < 100; ++listed) {
        PacketRow row = RowNumbered(static_cast<std::uint32_t>(listed));
        row.record.length = static_cast<std::uint16_t>(big.size());
        std::lock_guard update(lists.updateMutex);
        const auto datagram = Datagram::Raw(
            std::span(reinterpret_cast<const std::uint8_t*>(big.data()), big.size()), {});
        if (!lists.AddPacket(row, datagram, 0, kNoColour, {})) break;
    }
    EXPECT_LT(listed, 100);
    ASSERT_TRUE(lists.spool->failure().has_value());
    EXPECT_NE(lists.spool->failure()->reason.find("was deleted"), std::string::npos);
    EXPECT_EQ(Text(PayloadOf(lists, 0)), "before");
    EXPECT_EQ(PayloadOf(lists, listed - 1).size(), big.size());
}

// Appending, reading and clearing from three threads at once: run under ThreadSanitizer. A
// reader must never be given another row's bytes, whatever clears come between.
TEST(PayloadSpoolTest, ConcurrentAppendReadAndClearStayConsistent) {
    CaptureLists lists(test::MakeTestSpool());
    constexpr int kRows = 100'000;
    std::atomic<bool> done{false};
    std::atomic<int> inconsistencies{0};
    std::atomic<int> clears{0};
    std::thread writer([&] {
        for (int index = 0; index < kRows; ++index) {
            // Half-way, a clear has come between the appends, however the threads are run.
            while (index == kRows / 2 && clears.load() == 0) std::this_thread::yield();
            AddTestPacket(lists, RowNumbered(static_cast<std::uint32_t>(index)),
                          Bytes(std::to_string(index)));
        }
        done = true;
    });
    std::thread reader([&] {
        std::vector<std::uint8_t> payload;
        while (!done) {
            const int count = lists.packets.rowCount();
            for (int row = count > 50 ? count - 50 : 0; row < count; ++row) {
                lists.ReadPacket(row, kWholePayload, payload,
                                 [&](const StoredRow<PacketRow>& stored, auto bytes) {
                                     if (std::string(bytes.begin(), bytes.end()) !=
                                         std::to_string(stored.row.sourceAddress)) {
                                         ++inconsistencies;
                                     }
                                 });
            }
        }
    });
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lists.ClearBoth();
        ++clears;
    }
    writer.join();
    reader.join();
    EXPECT_EQ(inconsistencies, 0);
    EXPECT_EQ(lists.packets.nextSerial(), kRows + 1);
}

// A spool that grows fast is sent to the disk behind its end and dropped from the page cache
// twice as far behind, and what was dropped still reads back (from the disk).
TEST(PayloadSpoolTest, AGrowingSpoolLeavesThePageCacheBehindItsEnd) {
    TempDir dir;
    if (test::InMemoryOnly(dir.path())) GTEST_SKIP() << "a tmpfs file lives in the page cache";
    constexpr std::uint64_t kBehind = std::uint64_t{1} << 20;
    SystemError error;
    auto spool = PayloadSpool::Create({dir.path().string()}, error, kBehind);
    ASSERT_NE(spool, nullptr) << error.reason;
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint8_t> frame(60000);
    const auto append = [&](std::uint64_t upTo) {
        while (spool->size() < upTo) {
            std::fill(frame.begin(), frame.end(), static_cast<std::uint8_t>(offsets.size()));
            offsets.push_back(*spool->Append(Datagram::Raw(frame, {}), {}));
        }
    };
    const UniqueFd file(::open(spool->path().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file.valid());
    const auto residentIn = [&](std::uint64_t from, std::uint64_t to) {
        return test::ResidentPages(file.get(), from, to);
    };
    // Again after Clean: the file starts over, and so does what is sent and dropped.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        offsets.clear();
        append(3 * kBehind);
        // Pages still being written when their turn came stay cached. Once the disk has what the
        // file held here (at least 2 MiB of it), later writes drop it: all but the first 1.06 MiB,
        // which the writes so far may have dropped already.
        ASSERT_EQ(::fdatasync(file.get()), 0);
        append(8 * kBehind);
        // The pages go on a thread of their own, a moment after the write.
        EXPECT_TRUE(test::WaitUntil([&] {
            return residentIn(kBehind + kBehind / 4, 2 * kBehind) == 0;
        })) << residentIn(kBehind + kBehind / 4, 2 * kBehind);
        EXPECT_GT(residentIn(7 * kBehind, 8 * kBehind), 0);
        for (std::size_t i = 0; i < offsets.size(); i += 7) {
            std::vector<std::uint8_t> read;
            ASSERT_TRUE(spool->Read(offsets[i], frame.size(), spool->generation(), read)) << i;
            EXPECT_EQ(read, std::vector<std::uint8_t>(frame.size(), static_cast<std::uint8_t>(i)));
        }
        spool->Reset();
    }
}

}  // namespace
}  // namespace ravelin
