#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/IniFile.h"
#include "rows/Colour.h"

namespace ravelin {

/// Colours of HTTP rows by the extension of their URL, as the user sets them in the section
/// "HighLightExtension" of the configuration file: keys Ext[0] to Ext[99], read in order until
/// the first missing or empty one, each "RRGGBB,ext,ext,...,". The first key whose value holds
/// ",ext," decides. Matching is case-sensitive. The file is looked at by Refresh, which the
/// pipeline calls once per batch of datagrams: an edit takes effect at the next batch, within
/// a millisecond while capturing, without a system call per request. Used by one thread at a
/// time.
class ExtensionColours {
public:
    static constexpr int kMaximumKeys = 100;

    explicit ExtensionColours(std::string iniPath) : ini_(std::move(iniPath)) {}

    /// The row colour (0x00BBGGRR) for an extension, or the background colour, by the keys as
    /// the last Refresh read them (the first call reads them).
    Colour ExtensionColour(std::string_view extension);
    /// Looks at the file, and reads the keys again when it changed.
    void Refresh();

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };

    void ReadValues();

    IniFile ini_;
    std::uint64_t valuesRevision_ = 0;  // 0: never read
    std::vector<std::string> values_;   // Ext[0], Ext[1], ... up to the first missing one
    std::unordered_map<std::string, Colour, TextHash, std::equal_to<>> colourByExtension_;
};

/// The colour of a value that lists the extension: the text up to the first comma among its
/// first seven characters, read like strtoul in base 16 on a 32-bit unsigned long (leading
/// white space, a sign and "0x" allowed; saturating at 0xFFFFFFFF), RRGGBB turned to 0x00BBGGRR.
Colour ValueColour(std::string_view value);

}  // namespace ravelin
