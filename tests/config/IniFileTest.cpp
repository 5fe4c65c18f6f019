#include "config/IniFile.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/ConfigPath.h"
#include "config/FileChangeWatch.h"
#include "support/PcapFileWriter.h"

namespace ravelin {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

TEST(IniFileTest, ReadsLikeTheProfileFunctions) {
    const std::string path = test::TemporaryPath("read.ini");
    WriteAll(path,
             "; a comment\r\n[config]\r\n  WNDTOP = 1 \r\nName=\"quoted value\"\r\nName=second\r\n"
             "Neg=-4\r\nText=12abc\r\nLong=" +
                 std::string(1500, 'x') + "\r\n[Other]\r\nWndTop=7\r\n");
    IniFile ini(path);
    EXPECT_EQ(ini.GetInt("Config", "WndTop", 5), 1);
    EXPECT_EQ(ini.GetInt("OTHER", "wndtop", 5), 7);
    EXPECT_EQ(ini.GetInt("Config", "Missing", 5), 5);
    EXPECT_EQ(ini.GetInt("Config", "Neg", 5), 0);
    EXPECT_EQ(ini.GetInt("Config", "Text", 5), 12);
    EXPECT_EQ(ini.GetString("Config", "name"), "quoted value");  // the first of two wins
    EXPECT_EQ(ini.GetString("Config", "Long").size(), 1023U);
    EXPECT_EQ(ini.GetString("Nowhere", "Name", "fallback"), "fallback");
    EXPECT_EQ(IniFile(test::TemporaryPath("absent.ini")).GetInt("Config", "WndTop", 3), 3);
}

TEST(IniFileTest, WritingReplacesOneKeyAndKeepsTheRest) {
    const std::string path = test::TemporaryPath("write.ini");
    WriteAll(
        path,
        "; keep me\n[Config]\nWndTop=0\nMaxItemCount=9\n[HighLightExtension]\nExt[0]=FF0000,js,\n");
    IniFile ini(path);
    ASSERT_TRUE(ini.WriteString("config", "WndTop", "1"));
    EXPECT_EQ(
        ReadAll(path),
        "; keep me\n[Config]\nWndTop=1\nMaxItemCount=9\n[HighLightExtension]\nExt[0]=FF0000,js,\n");
    EXPECT_EQ(ini.GetInt("Config", "WndTop", 0), 1);

    // A new key joins the end of its section; a new section goes to the end of the file.
    ASSERT_TRUE(ini.WriteString("Config", "Extra", "x"));
    ASSERT_TRUE(ini.WriteString("New", "Key", "v"));
    EXPECT_EQ(ReadAll(path),
              "; keep me\n[Config]\nWndTop=1\nMaxItemCount=9\nExtra=x\n[HighLightExtension]\n"
              "Ext[0]=FF0000,js,\n[New]\nKey=v\n");

    // Writing creates a missing file and its directory.
    const std::string fresh = test::TemporaryPath("fresh/dir/Ravelin.ini");
    IniFile created(fresh);
    ASSERT_TRUE(created.WriteString("Config", "WndTop", "0"));
    EXPECT_EQ(ReadAll(fresh), "[Config]\nWndTop=0\n");
    EXPECT_FALSE(IniFile("/proc/ravelin-cannot-write.ini").WriteString("Config", "WndTop", "1"));
}

TEST(IniFileTest, WritingChangesNoOtherByteAndKeepsModeAndLink) {
    // Windows line endings, a stray LF line, comments, spacing, and no ending on the last line.
    const std::string before =
        "; comment \r\n[Other]\r\nKey = 1 \r\n\r\n[Config]\r\n  WndTop = 0  \r\nodd\n"
        "MaxItemCount=9\r\n[Last]\r\nX=y";
    const std::string path = test::TemporaryPath("bytes.ini");
    WriteAll(path, before);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    const std::string link = test::TemporaryPath("link.ini");
    std::filesystem::create_symlink(path, link);

    IniFile ini(link);
    ASSERT_TRUE(ini.WriteString("CONFIG", "WndTop", "1"));
    std::string expected = before;
    expected.replace(expected.find("  WndTop = 0  "), 14, "WndTop=1");
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);

    // Added lines end like the file's lines; the last line gets the ending it lacked.
    ASSERT_TRUE(ini.WriteString("Last", "Z", "w"));
    ASSERT_TRUE(ini.WriteString("Config", "Extra", "e"));
    expected.replace(expected.find("MaxItemCount=9\r\n"), 16, "MaxItemCount=9\r\nExtra=e\r\n");
    EXPECT_EQ(ReadAll(path), expected + "\r\nZ=w\r\n");
    EXPECT_EQ(ini.GetString("Last", "Z"), "w");
    // Nothing is left beside the file.
    int files = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        files += entry.path().filename().string().find("bytes.ini") != std::string::npos;
    }
    EXPECT_EQ(files, 1);
}

// A configuration that is a device (--config /dev/null) is written to where it is: renaming a
// file over it, as root, once turned the system's /dev/null into a plain file. A twin of
// /dev/null of the test's own stands in for it.
TEST(IniFileTest, AConfigurationThatIsADeviceIsWrittenToNotReplaced) {
    const std::string null = test::TemporaryPath("null");
    std::filesystem::remove(null);
    if (::mknod(null.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
        GTEST_SKIP() << "making a device node needs root";
    }
    IniFile ini(null);
    EXPECT_TRUE(ini.WriteString("Config", "WndTop", "1"));
    EXPECT_EQ(ini.GetString("Config", "WndTop"), "");  // what is written there is gone
    struct stat status {};
    ASSERT_EQ(::stat(null.c_str(), &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
    std::filesystem::remove(null);
}

// A small file system of its own, which a test can fill up.
class SmallTmpfs {
public:
    SmallTmpfs() : path_(test::TemporaryPath("tmpfs")) {
        std::filesystem::create_directories(path_);
        mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallTmpfs() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool mounted() const { return mounted_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    bool mounted_ = false;
};

TEST(IniFileTest, AWriteThatDoesNotFitLeavesTheOldFileWhole) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    SmallTmpfs tmpfs;
    if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string path = tmpfs.File("Ravelin.ini");
    const std::string before = "[Config]\nWndTop=0\n[HighLightExtension]\nExt[0]=FF0000,js,\n";
    WriteAll(path, before);
    // Fill the rest of the file system.
    {
        std::ofstream filler(tmpfs.File("filler"), std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) filler.flush();
    }
    IniFile ini(path);
    EXPECT_FALSE(ini.WriteString("Config", "WndTop", std::string(5000, '1')));
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(ini.GetInt("Config", "WndTop", 5), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmpfs.File("")),
                            std::filesystem::directory_iterator()),
              2);  // no half-written file left behind

    // With room again, the same write goes through.
    std::filesystem::remove(tmpfs.File("filler"));
    EXPECT_TRUE(ini.WriteString("Config", "WndTop", "1"));
    EXPECT_EQ(ini.GetInt("Config", "WndTop", 5), 1);
    EXPECT_EQ(ReadAll(path), "[Config]\nWndTop=1\n[HighLightExtension]\nExt[0]=FF0000,js,\n");
}

TEST(ConfigPathTest, BesideTheExecutableUnlessThatCannotBeWritten) {
    EXPECT_EQ(ChooseConfigPath("/opt/ravelin", true, false, "/x", "/home/u"),
              "/opt/ravelin/Ravelin.ini");
    EXPECT_EQ(ChooseConfigPath("/opt/ravelin", false, true, "/x", "/home/u"),
              "/opt/ravelin/Ravelin.ini");
    EXPECT_EQ(ChooseConfigPath("/usr/bin", false, false, "/x", "/home/u"),
              "/x/ravelin/Ravelin.ini");
    EXPECT_EQ(ChooseConfigPath("/usr/bin", false, false, std::nullopt, "/home/u"),
              "/home/u/.config/ravelin/Ravelin.ini");
    EXPECT_EQ(ChooseConfigPath("/usr/bin", false, false, "", "/home/u"),
              "/home/u/.config/ravelin/Ravelin.ini");
}

TEST(ConfigPathTest, StartupSettings) {
    const std::string path = test::TemporaryPath("startup.ini");
    WriteAll(path, "[Config]\nWndTop=2\nMaxItemCount=100\n");
    IniFile ini(path);
    StartupConfig config = ReadStartupConfig(ini);
    EXPECT_FALSE(config.topMost);  // only 1 turns it on
    EXPECT_EQ(config.maxItemCount, 100);
    WriteAll(path, "[Config]\nWndTop=1\n");
    config = ReadStartupConfig(ini);
    EXPECT_TRUE(config.topMost);
    EXPECT_EQ(config.maxItemCount, 65535);
}

}  // namespace
}  // namespace ravelin

namespace ravelin {
namespace {

TEST(FileChangeWatchTest, SeesEditsRenamesAndRemovalsOfItsFileOnly) {
    const std::string path = test::TemporaryPath("watched/Ravelin.ini");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteAll(path, "[Config]\n");
    FileChangeWatch watch(path);
    ASSERT_TRUE(watch.active());
    EXPECT_TRUE(watch.MaybeChanged());  // the first look always reads
    EXPECT_FALSE(watch.MaybeChanged());

    WriteAll(std::filesystem::path(path).replace_filename("other.txt").string(), "x");
    EXPECT_FALSE(watch.MaybeChanged());  // another file of the directory

    WriteAll(path, "[Config]\nWndTop=1\n");
    EXPECT_TRUE(watch.MaybeChanged());
    EXPECT_FALSE(watch.MaybeChanged());

    // An editor's save: a new file renamed over the old one.
    const std::string replacement = path + ".new";
    WriteAll(replacement, "[Config]\nWndTop=0\n");
    (void)watch.MaybeChanged();
    std::filesystem::rename(replacement, path);
    EXPECT_TRUE(watch.MaybeChanged());

    std::filesystem::remove(path);
    EXPECT_TRUE(watch.MaybeChanged());

    // Without its directory there is nothing to watch: every look says "maybe".
    FileChangeWatch unwatchable(test::TemporaryPath("no-such-dir/x/Ravelin.ini"));
    EXPECT_FALSE(unwatchable.active());
    EXPECT_TRUE(unwatchable.MaybeChanged());
    EXPECT_TRUE(unwatchable.MaybeChanged());
}

}  // namespace
}  // namespace ravelin
