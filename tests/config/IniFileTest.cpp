#include "config/IniFile.h"

#include <gtest/gtest.h>

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
