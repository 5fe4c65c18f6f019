#include "analysis/HttpRequestParser.h"

#include <algorithm>
#include <array>

namespace ravelin {

namespace {

constexpr std::size_t kMinimumRequest = 24;
constexpr std::size_t kLongestMethod = 7;  // OPTIONS, CONNECT
constexpr std::string_view kTargetEnd = " HTTP/";
constexpr std::string_view kHostMarker = "Host: ";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";
// Only its length serves: the shortest URL that can have an extension.
constexpr std::string_view kShortestWithExtension = "*/.*";

// Whether the text begins with the scheme, its letters in any case.
bool StartsWithScheme(std::string_view text, std::string_view scheme) {
    if (text.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    return true;
}

// The bytes between the first `start` and the first `end` after it, as a view into the text.
std::optional<std::string_view> Between(std::string_view text, std::string_view start,
                                        std::string_view end) {
    const std::size_t startAt = text.find(start);
    if (startAt == std::string_view::npos) return std::nullopt;
    const std::size_t contentAt = startAt + start.size();
    const std::size_t endAt = text.find(end, contentAt);
    if (endAt == std::string_view::npos) return std::nullopt;
    return text.substr(contentAt, endAt - contentAt);
}

std::string_view WithoutSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

}  // namespace

std::string_view RequestText(std::string_view payload) {
    return payload.substr(0, payload.find('\0'));
}

int HttpRequestParser::StartsWith(std::string_view text, std::string_view prefix) {
    return text.starts_with(prefix) ? 1 : 0;
}

long HttpRequestParser::FindFrom(std::string_view text, std::size_t offset,
                                 std::string_view pattern) {
    if (offset > text.size()) return -1;
    const auto position = text.find(pattern, offset);
    return position == std::string_view::npos ? -1 : static_cast<long>(position);
}

int HttpRequestParser::ExtractBetween(std::string_view text, std::string_view start,
                                      std::string_view end, std::string& out,
                                      std::size_t capacity) {
    if (capacity < text.size()) return 0;
    out.clear();
    const auto between = Between(text, start, end);
    if (!between) return 0;
    out.assign(*between);
    return 1;
}

int HttpRequestParser::FindLastChar(std::string_view text, char c) {
    const auto position = text.rfind(c);
    if (position == std::string_view::npos) return -1;
    return static_cast<int>(text.size() - position);
}

int HttpRequestParser::TrimSpaces(std::string& text) {
    const std::string_view kept = WithoutSpaces(text);
    const auto first = kept.empty() ? 0 : static_cast<std::size_t>(kept.data() - text.data());
    text.erase(first + kept.size());
    text.erase(0, first);
    return 1;
}

bool HttpRequestParser::IsAbsoluteTarget(std::string_view target) {
    return StartsWithScheme(target, kScheme) || StartsWithScheme(target, kSecureScheme);
}

int HttpRequestParser::MatchMethod(std::string_view text, std::string_view* method) {
    for (std::size_t i = 0; i < std::size(kMethods); ++i) {
        if (StartsWith(text, kMethods[i]) != 0) {
            if (method != nullptr) *method = kMethods[i];
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::optional<std::string> HttpRequestParser::ComposeUrl(std::string_view text,
                                                         std::size_t capacity) {
    if (capacity < 1 || text.size() < kMinimumRequest) return std::nullopt;
    std::string_view method;
    if (MatchMethod(text, &method) < 0) return std::nullopt;
    // Views into the text, not copies: a request is composed for every one captured.
    static_assert(std::ranges::all_of(kMethods, [](auto m) { return m.size() <= kLongestMethod; }));
    std::array<char, kLongestMethod + 1> marker{};
    method.copy(marker.data(), method.size());
    marker[method.size()] = ' ';
    const auto target = Between(text, {marker.data(), method.size() + 1}, kTargetEnd);
    if (!target) return std::nullopt;
    const auto host = Between(text, kHostMarker, kLineEnd);
    if (!host) return std::nullopt;
    if (capacity < kScheme.size() + host->size() + target->size() + 1) return std::nullopt;
    const std::string_view trimmedHost = WithoutSpaces(*host);
    const std::string_view trimmedTarget = WithoutSpaces(*target);
    // A request to a proxy names the whole URL already; the host would only double it.
    if (IsAbsoluteTarget(trimmedTarget)) return std::string(trimmedTarget);
    std::string url;
    url.reserve(kScheme.size() + trimmedHost.size() + trimmedTarget.size());
    url += kScheme;
    url += trimmedHost;
    url += trimmedTarget;
    return url;
}

std::optional<std::string> HttpRequestParser::UrlExtension(std::string_view url,
                                                           std::size_t capacity) {
    if (url.size() < kShortestWithExtension.size()) return std::nullopt;
    std::string_view path = url;
    if (const auto query = path.find('?'); query != std::string_view::npos && query > 0) {
        path = path.substr(0, query);
    }
    const int fromEnd = FindLastChar(path, '/');
    if (fromEnd < 0) return std::nullopt;
    const std::string_view segment =
        path.substr(path.size() - static_cast<std::size_t>(fromEnd) + 1);
    const int dotFromEnd = FindLastChar(segment, '.');
    if (dotFromEnd < 0) return std::nullopt;
    const std::string_view extension =
        segment.substr(segment.size() - static_cast<std::size_t>(dotFromEnd) + 1);
    if (capacity < 1 || extension.size() >= capacity - 1) return std::nullopt;
    return std::string(extension);
}

}  // namespace ravelin
