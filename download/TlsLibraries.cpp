#include "download/TlsLibraries.h"

#include <QByteArray>
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

// The payload stored under `AName`, found without regard to case. The resources live in the
// executable for the whole process, so the bytes are read in place when stored uncompressed.
class TPayload {
public:
    explicit TPayload(std::string_view AName)
        : FResource(
              QStringLiteral(":/") +
              QString::fromUtf8(AName.data(), static_cast<qsizetype>(AName.size())).toUpper()) {
        if (!FResource.isValid()) {
            throw std::runtime_error("no embedded library named " + std::string(AName));
        }
        if (FResource.compressionAlgorithm() != QResource::NoCompression) {
            FUncompressed = FResource.uncompressedData();
        }
    }

    std::span<const std::byte> Bytes() const {
        if (FResource.compressionAlgorithm() != QResource::NoCompression) {
            return std::as_bytes(std::span(FUncompressed.constData(),
                                           static_cast<std::size_t>(FUncompressed.size())));
        }
        return std::as_bytes(std::span(reinterpret_cast<const char*>(FResource.data()),
                                       static_cast<std::size_t>(FResource.size())));
    }

private:
    QResource FResource;
    QByteArray FUncompressed;
};

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
    const TPayload payload(AName);
    // A dangling link left at the name is replaced, never written through.
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(target, ignored))) {
        fs::remove(target, ignored);
    }
    platform::TFile file = platform::CreateFile(target);
    for (std::span<const std::byte> rest = payload.Bytes(); !rest.empty();) {
        const std::span<const std::byte> piece = rest.first(std::min(rest.size(), kWritePiece));
        file.Write(piece);
        rest = rest.subspan(piece.size());
    }
}

}  // namespace korvane
