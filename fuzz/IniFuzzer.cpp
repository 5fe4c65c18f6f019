// A configuration file of arbitrary bytes: reads of a few keys, and a write that must read
// back as written whatever the file held before.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "config/IniFile.h"

namespace {

using ravelin::fuzz::Check;

const std::string& IniPath() {
    static const std::string path = ravelin::fuzz::TempPath("config.ini");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ravelin::fuzz::WriteWholeFile(IniPath(), data, size);
    ravelin::fuzz::AgeFile(IniPath());
    // One object for all inputs, like the program's: each input is an edit of the file.
    static ravelin::IniFile ini(IniPath());

    for (const char* key : {"Ext[0]", "Ext[1]", "Adapter", "Width", ""}) {
        for (const char* section : {"HighLightExtension", "Options", "", "[x]"}) {
            const std::string value = ini.GetString(section, key, "default");
            Check(value.size() <= ravelin::IniFile::kMaximumValue, "a value has at most 1023");
            Check(ini.GetInt(section, key, 7) >= 0, "an integer is never negative");
        }
    }
    ini.Revision();

    // A short value of plain characters survives the round trip exactly.
    std::string value = "v";
    for (std::size_t i = 0; i < size && value.size() < 40; ++i) {
        const char c = static_cast<char>(data[i]);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            value.push_back(c);
        }
    }
    Check(ini.WriteString("Options", "Width", value), "the file can be written");
    Check(ini.GetString("options", "WIDTH") == value, "a written value reads back");
    Check(ini.WriteString("HighLightExtension", "Ext[0]", "00FF00,txt,"),
          "the file can be written twice");
    Check(ini.GetString("HighLightExtension", "ext[0]") == "00FF00,txt,",
          "a second key reads back");
    Check(ini.GetString("Options", "Width") == value, "the first key survives the second write");
    return 0;
}
