// The TLS libraries travel inside the executable and are written into the user's data directory
// before each download; when that fails, the run falls back to plain HTTP.
#pragma once

#include <filesystem>
#include <string_view>

namespace korvane {

// Writes the embedded library `AName` into `ADirectory` under its file name unless a file of that
// name is already there. Raises std::exception on failure.
void ExtractLibrary(const std::filesystem::path& ADirectory, std::string_view AName);

}  // namespace korvane
