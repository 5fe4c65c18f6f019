#include "analysis/ExtensionColours.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/PcapFileWriter.h"

namespace ravelin {
namespace {

class ExtensionColoursTest : public ::testing::Test {
protected:
    void WriteSection(const std::string& lines) {
        std::ofstream file(path_, std::ios::trunc);
        file << "[Config]\nWndTop=0\n[HighLightExtension]\n" << lines;
    }

    std::string path_ = test::TemporaryPath("colours-" + std::to_string(counter_++) + ".ini");
    static inline int counter_ = 0;
};

TEST_F(ExtensionColoursTest, FirstKeyThatListsTheExtensionDecides) {
    WriteSection("Ext[0]=FF0000,jpg,gif,\nExt[1]=0000FF,js,css,\nExt[2]=00FF00,jpg,\n");
    ExtensionColours colours(path_);
    EXPECT_EQ(colours.ExtensionColour("jpg"), 0x000000FFU);  // red, as 0x00BBGGRR
    EXPECT_EQ(colours.ExtensionColour("css"), 0x00FF0000U);  // blue
    EXPECT_EQ(colours.ExtensionColour("png"), kBackgroundColour);
    EXPECT_EQ(colours.ExtensionColour("JPG"), kBackgroundColour);  // case-sensitive
    EXPECT_EQ(colours.ExtensionColour("pg"), kBackgroundColour);   // whole extensions only
}

TEST_F(ExtensionColoursTest, ValueFormRules) {
    WriteSection(
        "Ext[0]=FF0000,jpg,gif\n"    // the last extension lacks its comma
        "Ext[1]=jpeg,tif,\n"         // no colour: jpeg parses as 0, black
        "Ext[2]=bmp,ico,\n"          // hex letters in front: "b" is the colour
        "Ext[3]=1FF8000,svg,\n"      // seven digits: the lowest 24 bits count
        "Ext[4]=FFFFFFFFFF,webp,\n"  // beyond 32 bits: white
        "Ext[5]=008000,,\n"          // an empty extension needs two adjacent commas
        "Ext[6]=123456, mp4,\n");    // the space belongs to the extension
    ExtensionColours colours(path_);
    EXPECT_EQ(colours.ExtensionColour("jpg"), 0x000000FFU);
    EXPECT_EQ(colours.ExtensionColour("gif"), kBackgroundColour);
    EXPECT_EQ(colours.ExtensionColour("tif"), 0x00000000U);
    EXPECT_EQ(colours.ExtensionColour("jpeg"), kBackgroundColour);  // no comma before it
    EXPECT_EQ(colours.ExtensionColour("ico"), 0x000B0000U);
    EXPECT_EQ(colours.ExtensionColour("svg"), 0x000080FFU);
    EXPECT_EQ(colours.ExtensionColour("webp"), 0x00FFFFFFU);
    EXPECT_EQ(colours.ExtensionColour(""), 0x00008000U);
    EXPECT_EQ(colours.ExtensionColour("mp4"), kBackgroundColour);
    EXPECT_EQ(colours.ExtensionColour(" mp4"), 0x00563412U);
}

TEST_F(ExtensionColoursTest, NumberingMustBeContiguousFromZero) {
    WriteSection("Ext[0]=FF0000,jpg,\nExt[2]=00FF00,png,\n");
    ExtensionColours colours(path_);
    EXPECT_EQ(colours.ExtensionColour("png"), kBackgroundColour);
    WriteSection("Ext[0]=\nExt[1]=00FF00,png,\n");  // an empty value ends the keys too
    colours.Refresh();
    EXPECT_EQ(colours.ExtensionColour("png"), kBackgroundColour);
}

TEST_F(ExtensionColoursTest, AnEditTakesEffectAtTheNextRefresh) {
    WriteSection("Ext[0]=FF0000,jpg,\n");
    ExtensionColours colours(path_);
    EXPECT_EQ(colours.ExtensionColour("jpg"), 0x000000FFU);
    // Same size, new contents: the modification time tells.
    WriteSection("Ext[0]=00FF00,jpg,\n");
    EXPECT_EQ(colours.ExtensionColour("jpg"), 0x000000FFU);  // until the next batch looks
    colours.Refresh();
    EXPECT_EQ(colours.ExtensionColour("jpg"), 0x0000FF00U);
    std::remove(path_.c_str());
    colours.Refresh();
    EXPECT_EQ(colours.ExtensionColour("jpg"), kBackgroundColour);
}

TEST(ValueColourTest, ReadsLikeStrtoulOnA32BitLong) {
    EXPECT_EQ(ValueColour("0x00FF00,a,"), 0x0000FF00U);
    EXPECT_EQ(ValueColour("  FF,a,"), 0x00FF0000U);     // leading space skipped
    EXPECT_EQ(ValueColour("-1,a,"), 0x00FFFFFFU);       // -1 wraps to all ones
    EXPECT_EQ(ValueColour("FF00001,a,"), 0x000100F0U);  // 0xFF00001: bits above 24 dropped
    EXPECT_EQ(ValueColour("100000000,a,"), 0x00FFFFFFU);
    EXPECT_EQ(ValueColour(",a,"), 0U);
}

}  // namespace
}  // namespace ravelin
