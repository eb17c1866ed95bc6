// Which setup program this program starts: a signature says who made a file, not which of their
// files it is. The file must name itself as the setup program and, when the build sets a floor,
// carry a version at or above it, so that neither another of the maker's programs nor an older,
// vulnerable release can be served in its place with its genuine signature.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// A release's four numbers, as Windows keeps them in a file's version record: compared number by
// number, so that 2.10.0.0 comes after 2.9.0.0.
struct TReleaseVersion {
    std::array<std::uint16_t, 4> Numbers{};
    auto operator<=>(const TReleaseVersion&) const = default;
};

// "A.B.C.D", four decimal numbers of 0 to 65535; nullopt for anything else.
std::optional<TReleaseVersion> ParseReleaseVersion(std::string_view AText);

// What a signed file says about itself, inside what its signature covers.
struct TReleaseClaim {
    std::string FileName;                    // UTF-8; empty when it names no file
    std::optional<TReleaseVersion> Version;  // nullopt when it gives none
};

// The claim in a minisign trusted comment: tab-separated fields "name:value" in any order, such as
// "timestamp:1700000000\tfile:KorvaneSetup.exe\tversion:2.4.1.0". Fields of other names, and
// fields without a value (minisign's own "hashed"), are passed over. nullopt when a "file" or
// "version" field comes twice or a version does not read.
std::optional<TReleaseClaim> ClaimOfTrustedComment(std::string_view AComment);

// The release that the build lets the program start.
struct TExpectedRelease {
    std::string FileName;                       // UTF-8, as the file must name itself
    std::optional<TReleaseVersion> MinVersion;  // nullopt: no floor

    // True when `AClaim` names this file and, under a floor, a version at or above it; false for
    // no claim at all.
    bool Admits(const std::optional<TReleaseClaim>& AClaim) const;
};

// The release named `AFileName`, with the floor `AMinVersion` ("A.B.C.D", or empty for none);
// nullopt when the floor does not read, and then nothing is admitted.
std::optional<TExpectedRelease> ExpectedRelease(std::string AFileName,
                                                std::string_view AMinVersion);

}  // namespace korvane
