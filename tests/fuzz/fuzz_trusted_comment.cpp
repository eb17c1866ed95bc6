// The release that a minisign trusted comment names, the comment as the input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/ExpectedRelease.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string_view comment(reinterpret_cast<const char*>(AData), ASize);
    const auto claim = korvane::ClaimOfTrustedComment(comment);
    if (!claim || !claim->Version) {
        return 0;
    }
    // A version read is one that its plain spelling reads as again.
    const auto& numbers = claim->Version->Numbers;
    const std::string plain = std::to_string(numbers[0]) + '.' + std::to_string(numbers[1]) + '.' +
                              std::to_string(numbers[2]) + '.' + std::to_string(numbers[3]);
    if (korvane::ParseReleaseVersion(plain) != claim->Version) {
        __builtin_trap();
    }
    return 0;
}
