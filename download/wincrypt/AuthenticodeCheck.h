// The publisher check of the Windows build: the Authenticode signature inside the setup program,
// by the maker's code-signing certificate.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "download/ExpectedRelease.h"
#include "download/PublisherCheck.h"

namespace korvane {

// A check that the setup program is signed with a code-signing certificate whose common name is
// exactly `ASignerName`, issued by one of the authorities in the PEM text `ASignerCaPem`, and that
// its version record, inside what the signature covers, is one that `ARelease` admits. nullptr for
// an empty name. A name or authorities that do not read, or no release, give a check that never
// holds.
std::unique_ptr<IPublisherCheck> AuthenticodeCheck(std::string_view ASignerName,
                                                   std::string_view ASignerCaPem,
                                                   std::optional<TExpectedRelease> ARelease);

}  // namespace korvane
