#include "download/AnswerHeaders.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

namespace korvane {

namespace {

std::string_view Trimmed(std::string_view AText) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto first = AText.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return AText.substr(first, AText.find_last_not_of(kBlanks) - first + 1);
}

bool EqualsIgnoringCase(std::string_view ALeft, std::string_view ARight) {
    return std::equal(ALeft.begin(), ALeft.end(), ARight.begin(), ARight.end(),
                      [](unsigned char ALeftChar, unsigned char ARightChar) {
                          return std::tolower(ALeftChar) == std::tolower(ARightChar);
                      });
}

// A Content-Length value: one plain decimal number that a signed 64-bit count holds.
std::optional<std::int64_t> ParseContentLength(std::string_view AValue) {
    std::int64_t length = 0;
    const char* const end = AValue.data() + AValue.size();
    const auto [stop, error] = std::from_chars(AValue.data(), end, length);
    if (AValue.empty() || !std::isdigit(static_cast<unsigned char>(AValue.front())) ||
        error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return length;
}

// Whether a Transfer-Encoding value names the chunked coding, as HTTP libraries then read the body.
bool NamesChunked(std::string_view AValue) {
    while (!AValue.empty()) {
        const auto comma = AValue.find(',');
        if (EqualsIgnoringCase(Trimmed(AValue.substr(0, comma)), "chunked")) {
            return true;
        }
        AValue = comma == std::string_view::npos ? std::string_view() : AValue.substr(comma + 1);
    }
    return false;
}

}  // namespace

std::optional<std::string> TAnswerHeaders::Take(std::string_view ALine) {
    if (ALine.substr(0, 5) == "HTTP/") {
        FStatusLine = std::string(ALine.substr(0, ALine.find_last_not_of("\r\n") + 1));
        FContentLength.reset();
        FChunked = false;
        // Nothing was asked to switch: a library would wait for another answer that never comes.
        const std::string_view code = Trimmed(ALine.substr(ALine.find(' ') + 1));
        if (code.substr(0, 3) == "101" &&
            (code.size() == 3 || !std::isdigit(static_cast<unsigned char>(code[3])))) {
            return FStatusLine;
        }
        return std::nullopt;
    }
    const auto colon = ALine.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view name = ALine.substr(0, colon);
    const std::string_view value = Trimmed(ALine.substr(colon + 1));
    if (EqualsIgnoringCase(name, "Content-Length")) {
        // Libraries ignore a length they cannot read, or let the last of several win; either way
        // the end of the body would be left to the connection.
        const std::optional<std::int64_t> length = ParseContentLength(value);
        if (!length || (FContentLength && *FContentLength != *length)) {
            return "unusable Content-Length: " + std::string(value);
        }
        FContentLength = length;
    } else if (EqualsIgnoringCase(name, "Transfer-Encoding") && NamesChunked(value)) {
        FChunked = true;
    }
    return std::nullopt;
}

bool TAnswerHeaders::TellsTheBodysEnd(long AStatusCode, bool ALastChunkIsTold) const {
    if (AStatusCode == 204 || AStatusCode == 304) {
        return true;
    }
    return FChunked ? ALastChunkIsTold : FContentLength.has_value();
}

}  // namespace korvane
