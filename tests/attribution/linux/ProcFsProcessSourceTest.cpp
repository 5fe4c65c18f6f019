#include "attribution/linux/ProcFsProcessSource.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/WaitUntil.h"

namespace ravelin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A made-up /proc and dpkg info directory in a fresh temporary directory.
class FakeTree {
public:
    FakeTree() {
        std::string pattern = (fs::temp_directory_path() / "ravelin-procfs-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
        fs::create_directories(proc());
        fs::create_directories(dpkg());
    }
    ~FakeTree() {
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
    }
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    fs::path proc() const { return root_ / "proc"; }
    fs::path dpkg() const { return root_ / "info"; }

    // A process entry; flags go into the stat line's flags field.
    void Process(int pid, const std::string& comm, unsigned long flags = 0x400100, int parent = 1) {
        fs::create_directories(proc() / std::to_string(pid));
        Write(proc() / std::to_string(pid) / "comm", comm + "\n");
        const std::string stat = std::to_string(pid) + " (" + comm + ") S " +
                                 std::to_string(parent) + " 1 1 0 -1 " + std::to_string(flags) +
                                 " 0 0 0 0 1 2 0 0 20 0 1 0 100 0 0\n";
        Write(proc() / std::to_string(pid) / "stat", stat);
    }
    void Exe(int pid, const std::string& target) {
        fs::create_symlink(target, proc() / std::to_string(pid) / "exe");
    }
    void Fd(int pid, int fd, const std::string& target) {
        fs::create_directories(proc() / std::to_string(pid) / "fd");
        fs::create_symlink(target, proc() / std::to_string(pid) / "fd" / std::to_string(fd));
    }
    static void Write(const fs::path& path, const std::string& text) {
        std::ofstream(path) << text;
    }

private:
    fs::path root_;
};

class FakeProcFsTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.Process(1, "init");
        tree_.Exe(1, "/usr/sbin/init");
        tree_.Process(2, "kthreadd", 0x00208040, 0);  // PF_KTHREAD, no exe link
        tree_.Process(3, "kworker/0:0-events", 0x04208060, 2);
        tree_.Process(4, "helper", 0x00400100, 2);  // kthreadd's child that ran a program
        tree_.Process(41, "thing");
        tree_.Exe(41, "/opt/thing/bin/thing");
        fs::create_directories(tree_.proc() / "77");  // ended: its files are gone
        tree_.Process(300, "tool");
        tree_.Exe(300, "/usr/bin/tool (deleted)");
        tree_.Process(500, "sleepy");
        tree_.Exe(500, "/usr/bin/sleepy");
        tree_.Process(501, "ctl");
        tree_.Exe(501, "/sbin/ctl");
        // A name that fakes the kernel-thread flag if fields were counted from the first ')'.
        tree_.Process(600, "x) S 0 0 0 0 0 2097152 y");
        tree_.Exe(600, "/usr/bin/tool2");
        fs::create_directories(tree_.proc() / "self");
        fs::create_directories(tree_.proc() / "sys");

        FakeTree::Write(tree_.dpkg() / "coreutils.list", "/.\n/bin\n/bin/sleepy\n");
        FakeTree::Write(tree_.dpkg() / "tool.list", "/usr/bin/tool\n/usr/sbin/ctl");  // no final \n
        FakeTree::Write(tree_.dpkg() / "thing.md5sums", "/opt/thing/bin/thing\n/usr/bin/tool2\n");
    }

    ProcFsProcessSource Source() const {
        return ProcFsProcessSource(tree_.proc().string(), tree_.dpkg().string());
    }

    FakeTree tree_;
};

TEST_F(FakeProcFsTest, ListsNumericEntriesInAscendingOrderWithoutKernelThreads) {
    auto source = Source();
    // 2 to 4 are kernel threads; 77 ended, so nothing says it was one.
    EXPECT_EQ(source.ProcessIds(), (std::vector<int>{1, 41, 77, 300, 500, 501, 600}));
    EXPECT_EQ(ProcFsProcessSource("/nonexistent-proc").ProcessIds(), std::nullopt);

    // Where pid 2 is no kernel thread (a container's own pid namespace), its children count.
    FakeTree container;
    container.Process(1, "init");
    container.Process(2, "sh", 0x00400100, 1);
    container.Process(5, "server", 0x00400100, 2);
    EXPECT_EQ(ProcFsProcessSource(container.proc().string()).ProcessIds(),
              (std::vector<int>{1, 2, 5}));
}

TEST_F(FakeProcFsTest, NamesProcessesByExecutableOrKernelName) {
    auto source = Source();
    std::vector<std::pair<int, std::string>> seen;
    for (const ProcessInfo& process : source.Snapshot()) {
        seen.emplace_back(process.pid, process.name);
    }
    const std::vector<std::pair<int, std::string>> expected = {
        {1, "init"}, {41, "thing"}, {300, "tool"}, {500, "sleepy"}, {501, "ctl"}, {600, "tool2"}};
    EXPECT_EQ(seen, expected);  // 77 ended: left out
    EXPECT_EQ(source.ImagePath(300), "/usr/bin/tool");
    EXPECT_EQ(source.ImagePath(2), std::nullopt);
}

TEST_F(FakeProcFsTest, SystemProcessesAreKernelThreadsAndPackagedExecutables) {
    auto source = Source();
    EXPECT_TRUE(source.IsSystemProcess(2));
    EXPECT_TRUE(source.IsSystemProcess(300));  // listed; the file was replaced since
    EXPECT_TRUE(source.IsSystemProcess(500));  // listed as /bin/sleepy
    EXPECT_TRUE(source.IsSystemProcess(501));  // listed as /usr/sbin/ctl
    EXPECT_FALSE(source.IsSystemProcess(1));
    EXPECT_FALSE(source.IsSystemProcess(41));   // named only by a file that is not a .list
    EXPECT_FALSE(source.IsSystemProcess(600));  // not a kernel thread whatever its name says
    EXPECT_FALSE(source.IsSystemProcess(77));
    EXPECT_FALSE(source.IsSystemProcess(9999));
}

TEST_F(FakeProcFsTest, ReadsThePackageListsOnce) {
    auto source = Source();
    EXPECT_FALSE(source.IsSystemProcess(41));
    FakeTree::Write(tree_.dpkg() / "thing.list", "/opt/thing/bin/thing\n");
    EXPECT_FALSE(source.IsSystemProcess(41));
    EXPECT_TRUE(Source().IsSystemProcess(41));
}

TEST_F(FakeProcFsTest, FindsSocketInodesAmongDescriptors) {
    tree_.Fd(300, 3, "socket:[4242]");
    tree_.Fd(300, 4, "pipe:[77]");
    tree_.Fd(300, 5, "/dev/null");
    tree_.Fd(300, 6, "socket:[abc]");
    tree_.Fd(300, 7, "socket:[55");
    tree_.Fd(300, 8, "socket:[18446744073709551615]");
    tree_.Fd(41, 9, "socket:[99]");
    tree_.Fd(41, 0, "socket:[4242]");
    tree_.Fd(500, 1, "socket:[4242]");

    auto source = Source();
    auto inodes = source.SocketInodesOf(300);
    std::sort(inodes.begin(), inodes.end());
    EXPECT_EQ(inodes, (std::vector<std::uint64_t>{4242, 18446744073709551615ULL}));
    EXPECT_TRUE(source.SocketInodesOf(77).empty());

    std::unordered_map<std::uint64_t, int> owners = {{1, 1}};
    source.SocketInodeOwners(owners);
    const std::unordered_map<std::uint64_t, int> expected = {
        {4242, 41}, {99, 41}, {18446744073709551615ULL, 300}};
    EXPECT_EQ(owners, expected);
}

bool Contains(const std::vector<int>& pids, int pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

std::optional<std::string> NameIn(const std::vector<ProcessInfo>& processes, int pid) {
    for (const ProcessInfo& process : processes) {
        if (process.pid == pid) return process.name;
    }
    return std::nullopt;
}

TEST(ProcFsProcessSourceTest, ShowsThisProcessUnderItsExecutableName) {
    ProcFsProcessSource source;
    const fs::path self = fs::canonical(program_invocation_name);
    EXPECT_EQ(NameIn(source.Snapshot(), getpid()), self.filename().string());
    EXPECT_EQ(source.ImagePath(getpid()), self.string());
    EXPECT_FALSE(source.IsSystemProcess(getpid()));
}

TEST(ProcFsProcessSourceTest, ShowsAPackagedChildAsSystemProcess) {
    test::ChildProcess sleeper({"/bin/sleep", "30"});
    ASSERT_GT(sleeper.pid(), 0) << sleeper.error();
    ProcFsProcessSource source;
    // posix_spawn returns once the child has run exec.
    EXPECT_EQ(NameIn(source.Snapshot(), sleeper.pid()), "sleep");
    EXPECT_EQ(source.ImagePath(sleeper.pid()), fs::canonical("/bin/sleep").string());
    if (!fs::exists("/var/lib/dpkg/info/coreutils.list")) {
        GTEST_SKIP() << "coreutils is not a dpkg package here";
    }
    EXPECT_TRUE(source.IsSystemProcess(sleeper.pid()));
}

// The parent and the flags of a real /proc/<pid>/stat, counted from the last ')'.
std::optional<std::pair<int, unsigned long>> ParentAndFlags(int pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(file, stat) || stat.rfind(')') == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    int parent = 0;
    long ignored = 0;
    unsigned long flags = 0;
    if (!(fields >> state >> parent >> ignored >> ignored >> ignored >> ignored >> flags)) {
        return std::nullopt;
    }
    return std::make_pair(parent, flags);
}

TEST(ProcFsProcessSourceTest, KernelThreadsAreLeftOutButCountAsSystemProcesses) {
    const auto kthreadd = ParentAndFlags(2);
    if (!kthreadd || (kthreadd->second & 0x00200000) == 0) GTEST_SKIP() << "no kthreadd here";
    ProcFsProcessSource source;
    const auto pids = source.ProcessIds();
    ASSERT_TRUE(pids);
    EXPECT_FALSE(Contains(*pids, 2));
    EXPECT_TRUE(Contains(*pids, getpid()));
    for (const int pid : *pids) {
        const auto stat = ParentAndFlags(pid);
        if (!stat) continue;  // ended meanwhile
        EXPECT_EQ(stat->second & 0x00200000, 0U) << "kernel thread " << pid;
        EXPECT_NE(stat->first, 2) << "child of kthreadd " << pid;
    }
    // Asked a second time, from what the first listing learned.
    EXPECT_FALSE(Contains(*source.ProcessIds(), 2));
    for (const ProcessInfo& process : source.Snapshot()) {
        EXPECT_NE(process.name, "kthreadd");
        EXPECT_FALSE(process.name.starts_with("kworker/")) << process.pid;
    }
    EXPECT_TRUE(source.IsSystemProcess(2));
    EXPECT_EQ(source.ImagePath(2), std::nullopt);
}

// Opens a UDP socket on 127.0.0.1, optionally as user nobody, says what it is and waits for
// its standard input to close.
constexpr const char* kSocketHolder = R"(
import os, socket, sys
executable = os.path.realpath(sys.executable)  # while its directories are still readable
if len(sys.argv) > 1:
    os.setgid(65534)
    os.setuid(65534)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(os.getpid(), os.fstat(s.fileno()).st_ino, executable, flush=True)
sys.stdin.read()
)";

void CheckSocketHolder(bool asNobody) {
    std::vector<std::string> arguments = {"python3", "-c", kSocketHolder};
    if (asNobody) arguments.push_back("nobody");
    test::ChildProcess holder(arguments);
    ASSERT_GT(holder.pid(), 0) << holder.error();
    const auto line = holder.ReadLine(test::kDeadline);
    ASSERT_TRUE(line) << "the child did not report its socket";
    std::istringstream fields(*line);
    int pid = 0;
    std::uint64_t inode = 0;
    std::string executable;
    ASSERT_TRUE(fields >> pid >> inode >> executable) << *line;
    ASSERT_EQ(pid, holder.pid());

    ProcFsProcessSource source;
    EXPECT_EQ(NameIn(source.Snapshot(), pid), fs::path(executable).filename().string());
    EXPECT_EQ(source.ImagePath(pid), executable);
    const auto inodes = source.SocketInodesOf(pid);
    EXPECT_NE(std::find(inodes.begin(), inodes.end(), inode), inodes.end());
    std::unordered_map<std::uint64_t, int> owners;
    source.SocketInodeOwners(owners);
    EXPECT_EQ(owners[inode], pid);

    holder.CloseInput();
    ASSERT_TRUE(holder.WaitForExit(test::kDeadline));
    const auto pids = source.ProcessIds();
    ASSERT_TRUE(pids);
    EXPECT_FALSE(Contains(*pids, pid));
    EXPECT_TRUE(source.SocketInodesOf(pid).empty());
}

TEST(ProcFsProcessSourceTest, FindsTheSocketsOfAChildUntilItEnds) {
    CheckSocketHolder(false);
}

TEST(ProcFsProcessSourceTest, FindsTheSocketsOfAnotherUsersProcess) {
    if (geteuid() != 0) GTEST_SKIP() << "reading another user's descriptors needs root";
    CheckSocketHolder(true);
}

}  // namespace
}  // namespace ravelin
