#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ravelin {

/// Recognises the start of an HTTP request in a payload's text and composes its URL.
///
/// The text is a payload up to its first zero byte. Recognition is deliberately literal: the
/// method must start the text (case-sensitive), "Host: " is searched from the start of the
/// whole text with exactly one space, and the target is used as it stands: an absolute target
/// (a request to a proxy, "GET http://h/p") is the URL itself, any other follows "http://" and
/// the host, so CONNECT gives "http://h:443h:443". Nothing beyond the text is read and no fixed
/// scratch buffer is used.
class HttpRequestParser {
public:
    /// The method names, in the order they are tried.
    static constexpr std::string_view kMethods[] = {"GET", "POST",   "HEAD",  "OPTIONS",
                                                    "PUT", "DELETE", "TRACE", "CONNECT"};

    /// The position of the method the text starts with (0 for GET up to 7 for CONNECT), or -1.
    /// `method`, when given, receives the name.
    static int MatchMethod(std::string_view text, std::string_view* method = nullptr);

    /// "http://" + host + target, or the target alone where it is absolute (IsAbsoluteTarget).
    /// Nothing when the text is shorter than 24 bytes, has no method, no "<method> "..." HTTP/"
    /// target, no "Host: "..."\r\n" line, or when "http://" + host + target would not fit
    /// `capacity` bytes with its terminator (host and target measured before their spaces are
    /// trimmed).
    static std::optional<std::string> ComposeUrl(std::string_view text, std::size_t capacity);

    /// The extension of the URL's last path segment, without the dot and with its case kept:
    /// the query is cut off first; nothing when there is no "/" or no "." in the segment, when
    /// the URL is shorter than 4 bytes, or when the extension would not fit `capacity` bytes
    /// with its terminator. A segment ending in "." has the empty extension.
    static std::optional<std::string> UrlExtension(std::string_view url, std::size_t capacity);

    /// Whether a request target is an absolute URI: it starts with "http://" or "https://",
    /// the scheme in any case.
    static bool IsAbsoluteTarget(std::string_view target);

    // Helpers.

    /// 1 when the text begins with the prefix (an empty prefix always), else 0.
    static int StartsWith(std::string_view text, std::string_view prefix);
    /// Position of the first occurrence of the pattern at or after `offset`, or -1.
    static long FindFrom(std::string_view text, std::size_t offset, std::string_view pattern);
    /// The bytes between the first `start` and the first `end` after it; 0 when either is
    /// missing or when `capacity` is less than the text's length, else 1.
    static int ExtractBetween(std::string_view text, std::string_view start, std::string_view end,
                              std::string& out, std::size_t capacity);
    /// The text's length minus the position of the last occurrence of `c` (1 when it is the last
    /// byte), or -1 when it does not occur.
    static int FindLastChar(std::string_view text, char c);
    /// Removes spaces (0x20 only) from both ends, in place. Returns 1.
    static int TrimSpaces(std::string& text);
};

/// The text of a payload that HTTP recognition looks at: its bytes up to the first zero byte.
std::string_view RequestText(std::string_view payload);

}  // namespace ravelin
