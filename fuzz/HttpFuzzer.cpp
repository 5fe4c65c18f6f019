// The request text of a payload through the HTTP parser and its helpers, with the limits that
// the parser promises checked on every result.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "analysis/HttpRequestParser.h"

namespace {

using ravelin::HttpRequestParser;
using ravelin::fuzz::Check;

void CheckExtension(std::string_view url, std::size_t capacity) {
    const auto extension = HttpRequestParser::UrlExtension(url, capacity);
    if (!extension) return;
    Check(extension->size() < capacity, "the extension fits with its terminator");
    Check(extension->size() <= url.size(), "the extension comes from the URL");
    Check(extension->find('/') == std::string::npos, "the extension lies in the last segment");
}

void CheckUrl(std::string_view text, std::size_t capacity) {
    const auto url = HttpRequestParser::ComposeUrl(text, capacity);
    if (!url) return;
    Check(url->size() < capacity, "the URL fits with its terminator");
    Check(url->rfind("http://", 0) == 0 || HttpRequestParser::IsAbsoluteTarget(*url),
          "the URL starts with http://, or is an absolute target");
    Check(HttpRequestParser::MatchMethod(text) >= 0, "a URL only for a request");
    CheckExtension(*url, url->size() + 1);
    CheckExtension(*url, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string_view text = ravelin::RequestText(raw);
    Check(text.size() <= raw.size() && text.find('\0') == std::string_view::npos,
          "the request text stops at the first zero byte");

    std::string_view method;
    const int index = HttpRequestParser::MatchMethod(text, &method);
    Check(index >= -1 && index < 8, "a method index or -1");
    if (index >= 0) {
        Check(method == HttpRequestParser::kMethods[index], "the method is the one named");
        Check(text.rfind(method, 0) == 0, "the text starts with the method");
    }

    CheckUrl(text, size + 1);
    CheckUrl(text, 32);
    CheckUrl(raw, size + 1);
    CheckExtension(raw, size + 1);
    CheckExtension(raw, 8);
    CheckExtension(text, 1);

    // The helpers, with patterns taken from the input itself so that hits are common.
    const std::string_view head = raw.substr(0, raw.size() / 4);
    const std::string_view tail = raw.substr(raw.size() - raw.size() / 8);
    Check(HttpRequestParser::StartsWith(raw, head) == 1, "the text starts with its own head");
    HttpRequestParser::StartsWith(head, raw);
    const long found = HttpRequestParser::FindFrom(raw, size / 2, tail);
    Check(found == -1 || (found >= static_cast<long>(size / 2) &&
                          static_cast<std::size_t>(found) + tail.size() <= size),
          "a found pattern lies after the offset and inside the text");
    HttpRequestParser::FindFrom(raw, size + 7, "\r\n");

    std::string between;
    if (HttpRequestParser::ExtractBetween(raw, "Host: ", "\r\n", between, size) == 1) {
        Check(between.size() <= size, "the extracted text comes from the text");
    }
    HttpRequestParser::ExtractBetween(raw, head, tail, between, 16);
    HttpRequestParser::ExtractBetween(raw, "", "", between, size + 1);

    const int last = HttpRequestParser::FindLastChar(raw, size > 0 ? raw[0] : '/');
    Check(last == -1 || (last >= 1 && static_cast<std::size_t>(last) <= size),
          "the last occurrence is inside the text");

    std::string trimmed(raw);
    HttpRequestParser::TrimSpaces(trimmed);
    Check(trimmed.empty() || (trimmed.front() != ' ' && trimmed.back() != ' '),
          "no space at either end after trimming");
    return 0;
}
