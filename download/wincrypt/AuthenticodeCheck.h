// The publisher check of the Windows build: the Authenticode signature inside the setup program,
// by the maker's code-signing certificate.
#pragma once

#include <memory>
#include <string_view>

#include "download/PublisherCheck.h"

namespace korvane {

// A check that the setup program is signed with a code-signing certificate whose common name is
// exactly `ASignerName`, issued by one of the authorities in the PEM text `ASignerCaPem`. nullptr
// for an empty name. A name or authorities that do not read give a check that never holds.
std::unique_ptr<IPublisherCheck> AuthenticodeCheck(std::string_view ASignerName,
                                                   std::string_view ASignerCaPem);

}  // namespace korvane
