#include "download/TlsLibraries.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <system_error>

#include "platform/Platform.h"

namespace korvane {

namespace {

namespace fs = std::filesystem;

// Largest piece handed to a single write.
constexpr std::size_t kWritePiece = 61440;

// A file, or a link that leads to one. A directory or a dangling link is not.
bool FilePresent(const fs::path& APath) {
    std::error_code ignored;
    const fs::file_status status = fs::status(APath, ignored);
    return fs::exists(status) && !fs::is_directory(status);
}

}  // namespace

void ExtractLibrary(const std::filesystem::path& ADirectory, std::string_view AName) {
    const fs::path target = ADirectory / platform::TlsLibraryFileName(AName);
    if (FilePresent(target)) {
        return;  // whatever it holds: a library put there by hand is the user's choice
    }
    const std::span<const std::byte> payload = platform::EmbeddedLibrary(AName);
    // A dangling link left at the name is replaced, never written through.
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(target, ignored))) {
        fs::remove(target, ignored);
    }
    platform::TFile file = platform::CreatePlainFile(target);
    for (std::span<const std::byte> rest = payload; !rest.empty();) {
        const std::span<const std::byte> piece = rest.first(std::min(rest.size(), kWritePiece));
        file.Write(piece);
        rest = rest.subspan(piece.size());
    }
}

}  // namespace korvane
