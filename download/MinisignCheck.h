// The publisher check of the Linux build: a detached minisign signature beside the download, whose
// trusted comment names the release.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "download/ExpectedRelease.h"
#include "download/PublisherCheck.h"

namespace korvane {

// A check by the key whose base64 line (as `minisign -G` writes it) is `ABase64Key`, of a signature
// whose trusted comment `ARelease` admits; nullptr for an empty line. A line that is not a key, or
// no release, gives a check that never holds.
std::unique_ptr<IPublisherCheck> MinisignCheck(std::string_view ABase64Key,
                                               std::optional<TExpectedRelease> ARelease);

}  // namespace korvane
