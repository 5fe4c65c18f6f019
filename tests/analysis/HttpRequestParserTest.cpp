#include "analysis/HttpRequestParser.h"

#include <gtest/gtest.h>

#include <string>

namespace ravelin {
namespace {

using Parser = HttpRequestParser;

std::optional<std::string> Url(const std::string& text) {
    return Parser::ComposeUrl(text, text.size() + 1);
}

std::optional<std::string> Extension(const std::string& url) {
    return Parser::UrlExtension(url, url.size() + 1);
}

TEST(HttpRequestParserTest, MethodTableIsCaseSensitiveAndNeedsNoSpace) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"GET / HTTP/1.1", 0},   {"POST /", 1},          {"HEAD /", 2},   {"OPTIONS *", 3},
        {"PUT /x", 4},           {"DELETE /", 5},        {"TRACE /", 6},  {"CONNECT h:443", 7},
        {"GETX / HTTP/1.1", 0},  {"get / HTTP/1.1", -1}, {"PATCH /", -1}, {"", -1},
        {"HTTP/1.1 200 OK", -1},
    };
    for (const auto& [text, expected] : cases) {
        std::string_view name = "unchanged";
        EXPECT_EQ(Parser::MatchMethod(text, &name), expected) << text;
        if (expected >= 0) {
            EXPECT_EQ(name, Parser::kMethods[expected]);
        } else {
            EXPECT_EQ(name, "unchanged") << text;
        }
    }
}

TEST(HttpRequestParserTest, UrlsOfOrdinaryRequests) {
    EXPECT_EQ(Url("GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n"), "http://h/index.html");
    EXPECT_EQ(Url("POST /a/b.php?x=1.2 HTTP/1.0\r\nHost: h\r\n\r\n"), "http://h/a/b.php?x=1.2");
    // The host line may come after other headers.
    EXPECT_EQ(Url("HEAD /x HTTP/1.1\r\nUser-Agent: u\r\nHost: example.test:8080\r\n\r\n"),
              "http://example.test:8080/x");
    // Spaces, and only spaces, are trimmed at both ends of host and target.
    EXPECT_EQ(Url("GET   /x.gif   HTTP/1.1\r\nHost:   h  \r\n"), "http://h/x.gif");
    EXPECT_EQ(Url("GET \t/x HTTP/1.1\r\nHost: h\t\r\n"), "http://h\t\t/x");
    // An empty target.
    EXPECT_EQ(Url("GET  HTTP/1.1\r\nHost: h.lan\r\n"), "http://h.lan");
}

TEST(HttpRequestParserTest, LiteralQuirksAreKept) {
    // A request to a proxy names the whole URL: it is the URL as it stands, scheme and all.
    EXPECT_EQ(Url("GET http://example.test/p.js HTTP/1.1\r\nHost: example.test\r\n\r\n"),
              "http://example.test/p.js");
    EXPECT_EQ(Url("POST HTTPS://h/a.php?u=http://x HTTP/1.1\r\nHost: h\r\n"),
              "HTTPS://h/a.php?u=http://x");
    EXPECT_EQ(Url("GET   hTTp://h/x.gif   HTTP/1.1\r\nHost: other\r\n"), "hTTp://h/x.gif");
    EXPECT_EQ(Extension(*Url("GET http://h/p.js HTTP/1.1\r\nHost: h\r\n\r\n")), "js");
    // Only those two schemes are absolute here; the other rules stay: a Host line is needed.
    EXPECT_EQ(Url("GET httpx://h/p HTTP/1.1\r\nHost: h\r\n"), "http://hhttpx://h/p");
    EXPECT_EQ(Url("GET /http://h/p HTTP/1.1\r\nHost: h\r\n"), "http://h/http://h/p");
    EXPECT_FALSE(Url("GET http://h/p.js HTTP/1.0\r\nAccept: */*\r\n\r\n"));
    // CONNECT names no scheme: its target follows the host.
    EXPECT_EQ(Url("CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n"), "http://h:443h:443");
    // "Host: " is searched from the start of the whole text, even inside the request line.
    EXPECT_EQ(Url("GET /?q=Host: evil\r\n HTTP/1.1\r\nHost: h\r\n"),
              "http://evil/?q=Host: evil\r\n");
}

TEST(HttpRequestParserTest, TextsThatAreNoRequestGiveNoUrl) {
    EXPECT_EQ(Url("GET / HTTP/1.1\r\nHost: h\r\n"), "http://h/");            // exactly 24 bytes
    EXPECT_FALSE(Url("GET / HTTP/1.1\r\nHost:h\r\n"));                       // 23 bytes
    EXPECT_FALSE(Url("GET /index.html HTTP/1.1\r\nUser-Agent: x\r\n\r\n"));  // no Host
    EXPECT_FALSE(Url("GET /index.html HTTP/1.1\r\nhost: h\r\n\r\n"));
    EXPECT_FALSE(Url("GET /index.html HTTP/1.1\r\nHost:h\r\n\r\n"));
    EXPECT_FALSE(Url("GET /index.html HTTP/1.1\r\nHost: h"));      // no line end after the host
    EXPECT_FALSE(Url("GET /index.html HTTP 1.1\r\nHost: h\r\n"));  // no " HTTP/"
    EXPECT_FALSE(Url("get /index.html HTTP/1.1\r\nHost: h\r\n"));
    EXPECT_FALSE(Url("GETX/index.html HTTP/1.1\r\nHost: h\r\n"));  // no "GET " marker
    EXPECT_FALSE(Parser::ComposeUrl("GET /index.html HTTP/1.1\r\nHost: h\r\n", 0));
}

TEST(HttpRequestParserTest, SizeCheckUsesTheUntrimmedParts) {
    const std::string text = "GET   /a   HTTP/1.1\r\nHost:   h   \r\n";
    // Untrimmed: host "  h   " (6), target "  /a  " (6): needs 7 + 6 + 6 + 1 = 20 bytes.
    EXPECT_EQ(Parser::ComposeUrl(text, 20), "http://h/a");
    EXPECT_FALSE(Parser::ComposeUrl(text, 19));
}

TEST(HttpRequestParserTest, ExtensionsOfTheLastSegment) {
    EXPECT_EQ(Extension("http://h/index.html"), "html");
    EXPECT_EQ(Extension("http://h/a/b.php?x=1.2"), "php");  // the query is cut first
    EXPECT_EQ(Extension("http://hhttp://h/p.js"), "js");
    EXPECT_EQ(Extension("http://h/x.JPG"), "JPG");
    EXPECT_EQ(Extension("http://h/file."), "");   // empty, and that is an extension
    EXPECT_EQ(Extension("http://h.lan"), "lan");  // the scheme's slash counts
    EXPECT_EQ(Extension("http://h/p.js#top"), "js#top");
    EXPECT_EQ(Extension("http://h/a.b?c/d.e"), "b");
    EXPECT_FALSE(Extension("http://h/"));
    EXPECT_FALSE(Extension("http://h/dir/file"));
    EXPECT_FALSE(Extension("http://h/a.b/c"));
    EXPECT_FALSE(Extension("http://h:443h:443"));
    EXPECT_FALSE(Extension("/.a"));  // shorter than 4 bytes
    EXPECT_EQ(Extension("/x.a"), "a");
    EXPECT_EQ(Extension("?/x.a"), "a");  // a "?" at the very start does not cut
    EXPECT_FALSE(Extension("no slash.txt"));
    EXPECT_FALSE(Parser::UrlExtension("http://h/x.html", 5));  // "html" needs 6 bytes
    EXPECT_EQ(Parser::UrlExtension("http://h/x.html", 6), "html");
}

TEST(HttpRequestParserTest, Helpers) {
    EXPECT_EQ(Parser::StartsWith("abc", ""), 1);
    EXPECT_EQ(Parser::StartsWith("ab", "abc"), 0);
    EXPECT_EQ(Parser::FindFrom("abcabc", 1, "abc"), 3);
    EXPECT_EQ(Parser::FindFrom("abcabc", 4, "abc"), -1);
    EXPECT_EQ(Parser::FindFrom("abc", 9, "a"), -1);
    EXPECT_EQ(Parser::FindLastChar("a/b/c", '/'), 2);
    EXPECT_EQ(Parser::FindLastChar("abc/", '/'), 1);
    EXPECT_EQ(Parser::FindLastChar("", '/'), -1);
    std::string out = "old";
    EXPECT_EQ(Parser::ExtractBetween("[x]", "[", "]", out, 2), 0);  // capacity below the length
    EXPECT_EQ(Parser::ExtractBetween("a[b]c]", "[", "]", out, 6), 1);
    EXPECT_EQ(out, "b");
    EXPECT_EQ(Parser::ExtractBetween("a]b[c", "[", "]", out, 5), 0);  // end only before start
    std::string spaced = "  \ta b\t  ";
    EXPECT_EQ(Parser::TrimSpaces(spaced), 1);
    EXPECT_EQ(spaced, "\ta b\t");
    std::string blank = "   ";
    Parser::TrimSpaces(blank);
    EXPECT_EQ(blank, "");
}

TEST(HttpRequestParserTest, RequestTextEndsAtTheFirstZeroByte) {
    EXPECT_EQ(RequestText(std::string_view("GET /\0x", 7)), "GET /");
    EXPECT_EQ(RequestText("GET /"), "GET /");
    const std::string zeroBeforeVersion("GET /a\0 HTTP/1.1\r\nHost: h\r\n", 27);
    EXPECT_FALSE(Url(std::string(RequestText(zeroBeforeVersion))));
}

// Hostile texts: no terminator, no CR LF, the largest payload. AddressSanitizer judges reads.
TEST(HttpRequestParserTest, HostileTextsStayInsideTheirBytes) {
    std::string huge = "GET /" + std::string(65535 - 5, 'a');
    EXPECT_FALSE(Url(huge));
    huge.replace(huge.size() - 30, 30, " HTTP/1.1\r\nHost: " + std::string(11, 'h') + "\r\n");
    ASSERT_EQ(huge.size(), 65535U);
    const auto url = Url(huge);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->size(), 7 + 11 + (65535 - 30 - 4));
    EXPECT_FALSE(Extension(*url));

    // Every prefix of a request, cut anywhere: never a read past its end, never a URL before
    // the host line is complete.
    const std::string request = "POST /upload/file.bin?v=2 HTTP/1.1\r\nHost: h\r\n\r\nbody";
    for (std::size_t length = 0; length <= request.size(); ++length) {
        const std::string prefix = request.substr(0, length);
        const auto composed = Url(prefix);
        EXPECT_EQ(composed.has_value(), length >= request.find("\r\n\r\n") + 2) << length;
        if (composed) {
            EXPECT_EQ(Extension(*composed), "bin");
        }
    }
}

}  // namespace
}  // namespace ravelin
