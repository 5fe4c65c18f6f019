// The colour of an extension under an arbitrary [HighLightExtension] section: the first line
// of the input is the extension, the rest is the section's body.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "analysis/ExtensionColours.h"

namespace {

using ravelin::fuzz::Check;

const std::string& IniPath() {
    static const std::string path = ravelin::fuzz::TempPath("extensions.ini");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    const std::string_view extension = input.substr(0, newline);
    const std::string_view body =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    std::string file = "[HighLightExtension]\n";
    file.append(body);
    ravelin::fuzz::WriteWholeFile(IniPath(), file);
    ravelin::fuzz::AgeFile(IniPath());

    // One object for all inputs, like the program's: each input is an edit of the file.
    static ravelin::ExtensionColours colours(IniPath());
    const ravelin::Colour colour = colours.ExtensionColour(extension);
    Check((colour & 0xFF000000) == 0, "a colour has no high byte");
    Check(colours.ExtensionColour(extension) == colour, "the same answer twice");
    colours.ExtensionColour("");
    colours.ExtensionColour(body.substr(0, 8));

    // Every line of the body as a value on its own.
    std::size_t start = 0;
    while (start < body.size()) {
        const auto end = body.find('\n', start);
        const std::string_view line = body.substr(start, end - start);
        Check((ravelin::ValueColour(line) & 0xFF000000) == 0, "a value's colour has no high byte");
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return 0;
}
