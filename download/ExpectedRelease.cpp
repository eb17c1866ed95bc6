#include "download/ExpectedRelease.h"

#include <charconv>
#include <utility>

namespace korvane {

namespace {

constexpr std::string_view kFileField = "file";
constexpr std::string_view kVersionField = "version";

// Takes the text up to the next `ASeparator`, or all that is left, off `ARest`.
std::string_view TakeUntil(std::string_view& ARest, char ASeparator) {
    const std::size_t end = ARest.find(ASeparator);
    const std::string_view taken = ARest.substr(0, end);
    ARest.remove_prefix(end == std::string_view::npos ? ARest.size() : end + 1);
    return taken;
}

// A number of 0 to 65535 in plain decimal digits: no sign, no blank, nothing after it.
std::optional<std::uint16_t> ParseNumber(std::string_view AText) {
    constexpr std::size_t kMaxDigits = 5;
    if (AText.empty() || AText.size() > kMaxDigits ||
        AText.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint16_t number = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), number);
    if (error != std::errc() || end != AText.data() + AText.size()) {
        return std::nullopt;  // above 65535
    }
    return number;
}

}  // namespace

std::optional<TReleaseVersion> ParseReleaseVersion(std::string_view AText) {
    TReleaseVersion version;
    for (std::size_t i = 0; i < version.Numbers.size(); ++i) {
        // Exactly four numbers: the last one takes whatever is left, dots included, and fails.
        const std::string_view part =
            i + 1 < version.Numbers.size() ? TakeUntil(AText, '.') : std::exchange(AText, {});
        const std::optional<std::uint16_t> number = ParseNumber(part);
        if (!number) {
            return std::nullopt;
        }
        version.Numbers[i] = *number;
    }
    return version;
}

std::optional<TReleaseClaim> ClaimOfTrustedComment(std::string_view AComment) {
    TReleaseClaim claim;
    bool namedFile = false;
    bool gaveVersion = false;
    while (!AComment.empty()) {
        std::string_view value = TakeUntil(AComment, '\t');
        const std::string_view name = TakeUntil(value, ':');
        if (name == kFileField) {
            if (std::exchange(namedFile, true)) {
                return std::nullopt;  // two names: which one did the maker mean?
            }
            claim.FileName = value;
        } else if (name == kVersionField) {
            claim.Version = ParseReleaseVersion(value);
            if (std::exchange(gaveVersion, true) || !claim.Version) {
                return std::nullopt;
            }
        }
    }
    return claim;
}

bool TExpectedRelease::Admits(const std::optional<TReleaseClaim>& AClaim) const {
    if (!AClaim || AClaim->FileName != FileName) {
        return false;
    }
    return !MinVersion || (AClaim->Version && *AClaim->Version >= *MinVersion);
}

std::optional<TExpectedRelease> ExpectedRelease(std::string AFileName,
                                                std::string_view AMinVersion) {
    TExpectedRelease release{.FileName = std::move(AFileName), .MinVersion = std::nullopt};
    if (!AMinVersion.empty()) {
        release.MinVersion = ParseReleaseVersion(AMinVersion);
        if (!release.MinVersion) {
            return std::nullopt;
        }
    }
    return release;
}

}  // namespace korvane
