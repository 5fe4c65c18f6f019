#include "base/FileIo.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "support/TempDir.h"

namespace ravelin {
namespace {

using test::TempDir;

// Signals cut the writer's blocked writes short (or fail them with EINTR) while a slow reader
// empties the pipe a few kilobytes at a time: every byte arrives once, in order.
TEST(FileIoTest, WriteAllFinishesInterruptedWritesToASlowPipe) {
    int ends[2] = {};
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    std::vector<std::uint8_t> sent(std::size_t{1} << 20);
    for (std::size_t index = 0; index < sent.size(); ++index) {
        sent[index] = static_cast<std::uint8_t>(index * 7 + index / 251);
    }
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};  // no SA_RESTART: the write itself sees the signal
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);

    std::vector<std::uint8_t> received;
    bool readFailed = false;
    std::thread reader([&] {
        std::array<std::uint8_t, 4096> chunk{};
        for (std::size_t got = chunk.size(); got == chunk.size();) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            readFailed = !ReadFully(readEnd.get(), chunk, got).succeeded();
            received.insert(received.end(), chunk.begin(), chunk.begin() + got);
        }
    });
    std::atomic<bool> written{false};
    std::thread interrupter([&, writer = ::pthread_self()] {
        while (!written) {
            ::pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    const CallResult result = WriteAll(writeEnd.get(), sent);
    written = true;
    interrupter.join();
    writeEnd.Close();  // the reader's end of file
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(result.succeeded()) << result.error().reason;
    EXPECT_FALSE(readFailed);
    EXPECT_EQ(received, sent);
}

TEST(FileIoTest, ReadFileReadsToTheEndWhateverTheSizeSays) {
    // /proc reports a size of 0 for files that hold text.
    struct stat status {};
    ASSERT_EQ(::stat("/proc/self/status", &status), 0);
    EXPECT_EQ(status.st_size, 0);
    std::string contents;
    ASSERT_TRUE(ReadFile("/proc/self/status", contents).succeeded());
    EXPECT_NE(contents.find("\nPid:\t" + std::to_string(::getpid()) + "\n"), std::string::npos);

    const CallResult missing = ReadFile("/proc/self/no-such-file", contents);
    ASSERT_FALSE(missing.succeeded());
    EXPECT_EQ(missing.error().code, ENOENT);
}

CallResult WriteHalfThenFail(int descriptor) {
    static_cast<void>(WriteAll(descriptor, std::string_view("half")));
    return CallResult::Failure(SystemError::FromErrno(ENOSPC));
}

TEST(FileIoTest, WriteFileRemovesAFailedFileUnlessToldToKeepIt) {
    TempDir dir;
    const std::string path = (dir.path() / "out").string();
    const CallResult removed = WriteFile(path, FailedFile::kRemove, WriteHalfThenFail);
    ASSERT_FALSE(removed.succeeded());
    EXPECT_EQ(removed.error().code, ENOSPC);
    EXPECT_FALSE(std::filesystem::exists(path));

    EXPECT_FALSE(WriteFile(path, FailedFile::kKeep, WriteHalfThenFail).succeeded());
    std::string contents;
    ASSERT_TRUE(ReadFile(path, contents).succeeded());
    EXPECT_EQ(contents, "half");
}

// A save named a pipe (or a device such as /dev/stdout): the failure must not remove it.
TEST(FileIoTest, WriteFileLeavesAPipeItFailedToFill) {
    TempDir dir;
    const std::string path = (dir.path() / "pipe").string();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // With a reader the writer's open does not wait.
    const UniqueFd reader(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(WriteFile(path, FailedFile::kRemove, WriteHalfThenFail).succeeded());
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

}  // namespace
}  // namespace ravelin
