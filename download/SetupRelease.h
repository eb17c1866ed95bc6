// The release that the program starts: the setup program of the text table, at or above the floor
// that the build sets.
#pragma once

#include <optional>
#include <string_view>

#include "download/ExpectedRelease.h"

namespace korvane {

// nullopt when `AMinVersion` is neither empty nor "A.B.C.D": nothing is admitted then.
std::optional<TExpectedRelease> SetupRelease(std::string_view AMinVersion);

}  // namespace korvane
