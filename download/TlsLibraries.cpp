#include "download/TlsLibraries.h"

#include <QResource>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/Platform.h"

namespace korvane {

namespace {

namespace fs = std::filesystem;

// Largest piece handed to a single write.
constexpr std::size_t kWritePiece = 61440;

// The payload stored under `AName`, found without regard to case. The build stores the payloads
// uncompressed under upper-case names, in the executable itself: their bytes are read in place.
std::span<const std::byte> Payload(std::string_view AName) {
    const QResource resource(
        QStringLiteral(":/") +
        QString::fromUtf8(AName.data(), static_cast<qsizetype>(AName.size())).toUpper());
    if (!resource.isValid() || resource.compressionAlgorithm() != QResource::NoCompression) {
        throw std::runtime_error("no embedded library named " + std::string(AName));
    }
    return std::as_bytes(std::span(reinterpret_cast<const char*>(resource.data()),
                                   static_cast<std::size_t>(resource.size())));
}

// A file, or a link that leads to one. A directory or a dangling link is not.
bool FilePresent(const fs::path& APath) {
    std::error_code ignored;
    const fs::file_status status = fs::status(APath, ignored);
    return fs::exists(status) && !fs::is_directory(status);
}

}  // namespace

void ExtractLibrary(const std::filesystem::path& ADirectory, std::string_view AName) {
    const fs::path target = ADirectory / (std::string(AName) + ".so.3");
    if (FilePresent(target)) {
        return;  // whatever it holds: a library put there by hand is the user's choice
    }
    const std::span<const std::byte> payload = Payload(AName);
    // A dangling link left at the name is replaced, never written through.
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(target, ignored))) {
        fs::remove(target, ignored);
    }
    platform::TFile file = platform::CreateFile(target);
    for (std::span<const std::byte> rest = payload; !rest.empty();) {
        const std::span<const std::byte> piece = rest.first(std::min(rest.size(), kWritePiece));
        file.Write(piece);
        rest = rest.subspan(piece.size());
    }
}

}  // namespace korvane
