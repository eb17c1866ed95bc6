// The version record of a Windows program (its VERSIONINFO resource), where the maker writes the
// file's name and version inside what the Authenticode signature covers. Read over bytes, as
// Windows' own reader would show it, so that the same reading runs, and is tested, everywhere.
#pragma once

#include <optional>

#include "download/ExpectedRelease.h"
#include "download/PeImage.h"

namespace korvane {

// Largest version record read: a few hundred bytes is usual.
inline constexpr std::uint32_t kMaxVersionRecordSize = 64 * 1024;

// What the version record of the PE file that `AReadAt` reads says: the OriginalFilename of the
// first language in its translation list, and the file version of its fixed part (none when it has
// no fixed part). The record is the resource of type RT_VERSION and id 1, in one language. nullopt
// when the file has no such record or name, or the record does not read. Reads the headers, the
// resource directory and the record only; a read that raises raises through.
std::optional<TReleaseClaim> ClaimOfVersionRecord(const TReadAt& AReadAt);

}  // namespace korvane
