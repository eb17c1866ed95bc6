#include "download/TlsLibraries.h"

#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>
#include <QResource>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/UniqueFd.h"

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

[[noreturn]] void RaiseErrno(const std::string& AWhat) {
    throw std::system_error(errno, std::generic_category(), AWhat);
}

platform::UniqueFd CreateReplacing(const fs::path& APath) {
    // A dangling link left at the name is replaced, never written through.
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(APath, ignored))) {
        fs::remove(APath, ignored);
    }
    platform::UniqueFd fd(
        ::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        RaiseErrno("cannot create " + APath.string());
    }
    return fd;
}

void WriteAll(const platform::UniqueFd& AFd, std::span<const std::byte> ABytes,
              const fs::path& APath) {
    while (!ABytes.empty()) {
        const std::size_t piece = std::min(ABytes.size(), kWritePiece);
        const ssize_t written = ::write(AFd.Get(), ABytes.data(), piece);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseErrno("cannot write " + APath.string());
        }
        if (written == 0) {
            throw std::runtime_error("no progress writing " + APath.string());
        }
        ABytes = ABytes.subspan(static_cast<std::size_t>(written));
    }
}

}  // namespace

void ExtractLibrary(const std::filesystem::path& ADirectory, std::string_view AName) {
    const fs::path target = ADirectory / (std::string(AName) + ".so.3");
    if (FilePresent(target)) {
        return;  // whatever it holds: a library put there by hand is the user's choice
    }
    const TPayload payload(AName);
    const platform::UniqueFd fd = CreateReplacing(target);
    WriteAll(fd, payload.Bytes(), target);
}

}  // namespace korvane
