// The publisher check of the Linux build: a detached minisign signature beside the download.
#pragma once

#include <memory>
#include <string_view>

#include "download/PublisherCheck.h"

namespace korvane {

// A check by the key whose base64 line (as `minisign -G` writes it) is `ABase64Key`; nullptr for
// an empty line. A line that is not a key gives a check that never holds.
std::unique_ptr<IPublisherCheck> MinisignCheck(std::string_view ABase64Key);

}  // namespace korvane
