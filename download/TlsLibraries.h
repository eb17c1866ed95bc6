// The TLS libraries that a build carries for its HTTP library travel inside the executable and are
// written into the user's data directory before each download; when that fails, the run falls back
// to plain HTTP.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string_view>

namespace korvane {

// One library the build carries: the name the run asks for it by, what follows that name in its
// file name, and its bytes.
struct TTlsPayload {
    std::string_view Name;
    std::string_view FileNameEnding;
    std::span<const std::byte> Bytes;
};

// Writes the library `AName` of `APayloads`, found without regard to case, into `ADirectory` as
// `AName` followed by its file name's ending, unless a file of that name is already there. Raises
// std::exception on failure, and for a name that `APayloads` lacks.
void ExtractLibrary(std::span<const TTlsPayload> APayloads, const std::filesystem::path& ADirectory,
                    std::string_view AName);

}  // namespace korvane
