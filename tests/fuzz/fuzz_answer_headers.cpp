// The answer's header lines as the server sends them. The input is the bytes of one or more heads
// (status line, header lines, blank line), cut into lines after each "\n" and handed over with
// their line ends, as libcurl does; the lines go on after a refusal, so that every sequence of
// lines is met.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "download/AnswerHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    std::string_view rest(reinterpret_cast<const char*>(AData), ASize);
    korvane::TAnswerHeaders headers;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
        const std::string_view line = rest.substr(0, length);
        rest.remove_prefix(length);
        const bool statusLine = line.starts_with("HTTP/");
        headers.Take(line);
        // What the readers of the answer rely on whatever came before.
        if (statusLine &&
            (headers.StatusLine().ends_with('\r') || headers.StatusLine().ends_with('\n') ||
             !line.starts_with(headers.StatusLine()))) {
            __builtin_trap();
        }
        if (headers.ContentLength() && *headers.ContentLength() < 0) {
            __builtin_trap();
        }
    }
    return 0;
}
