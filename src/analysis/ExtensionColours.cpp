#include "analysis/ExtensionColours.h"

#include <cctype>
#include <string>

namespace ravelin {

namespace {

constexpr std::size_t kCommaSearchLength = 7;
constexpr std::size_t kPatternCapacity = 1024;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// strtoul(text, nullptr, 16) where unsigned long has 32 bits.
std::uint32_t ParseHex32(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at + 2 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
        HexDigit(text[at + 2]) >= 0) {
        at += 2;
    }
    std::uint64_t value = 0;
    for (; at < text.size() && HexDigit(text[at]) >= 0; ++at) {
        value = value * 16 + static_cast<std::uint64_t>(HexDigit(text[at]));
        if (value > 0xFFFFFFFFULL) return 0xFFFFFFFFU;  // saturates, whatever the sign
    }
    const auto result = static_cast<std::uint32_t>(value);
    return negative ? 0U - result : result;
}

}  // namespace

Colour ValueColour(std::string_view value) {
    const auto comma = value.substr(0, kCommaSearchLength).find(',');
    if (comma != std::string_view::npos) value = value.substr(0, comma);
    const std::uint32_t rgb = ParseHex32(value);
    return ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
}

void ExtensionColours::ReadValues() {
    values_.clear();
    colourByExtension_.clear();
    for (int i = 0; i < kMaximumKeys; ++i) {
        std::string value = ini_.GetString("HighLightExtension", "Ext[" + std::to_string(i) + "]");
        if (value.empty()) break;  // the numbering must be contiguous from 0
        values_.push_back(std::move(value));
    }
    // ",ext," occurs in a value exactly when ext is one of its comma-separated items with a
    // comma on both sides: neither the colour in front nor a last item without its comma.
    // Earlier keys win, so an item already seen keeps its colour.
    for (const std::string& value : values_) {
        const Colour colour = ValueColour(value);
        std::size_t start = value.find(',');
        while (start != std::string::npos) {
            const std::size_t end = value.find(',', start + 1);
            if (end == std::string::npos) break;
            colourByExtension_.try_emplace(value.substr(start + 1, end - start - 1), colour);
            start = end;
        }
    }
}

void ExtensionColours::Refresh() {
    // The keys are read again only when the file changed since the last look.
    const std::uint64_t revision = ini_.Revision();
    if (revision != valuesRevision_) {
        ReadValues();
        valuesRevision_ = revision;
    }
}

Colour ExtensionColours::ExtensionColour(std::string_view extension) {
    // An extension longer than any value can hold never matches.
    if (extension.size() + 2 >= kPatternCapacity) return kBackgroundColour;

    if (valuesRevision_ == 0) Refresh();
    if (extension.find(',') == std::string_view::npos) {
        const auto found = colourByExtension_.find(extension);
        return found != colourByExtension_.end() ? found->second : kBackgroundColour;
    }
    // A comma in the extension can match across items: search the values as they stand.
    std::string pattern;
    pattern.reserve(extension.size() + 2);
    pattern.append(1, ',').append(extension).append(1, ',');
    for (const std::string& value : values_) {
        if (value.find(pattern) != std::string::npos) return ValueColour(value);
    }
    return kBackgroundColour;
}

}  // namespace ravelin
