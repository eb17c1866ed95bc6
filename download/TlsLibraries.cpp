#include "download/TlsLibraries.h"

#include <algorithm>
#include <stdexcept>
#include <string>
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

bool SameIgnoringCase(std::string_view ALeft, std::string_view ARight) {
    const auto lower = [](unsigned char ACharacter) {
        return ACharacter >= 'A' && ACharacter <= 'Z' ? ACharacter - 'A' + 'a' : ACharacter;
    };
    return std::equal(ALeft.begin(), ALeft.end(), ARight.begin(), ARight.end(),
                      [&](char A, char B) { return lower(A) == lower(B); });
}

const TTlsPayload& PayloadNamed(std::span<const TTlsPayload> APayloads, std::string_view AName) {
    const auto found = std::find_if(APayloads.begin(), APayloads.end(), [&](const TTlsPayload& A) {
        return SameIgnoringCase(A.Name, AName);
    });
    if (found == APayloads.end()) {
        throw std::runtime_error("no embedded library named " + std::string(AName));
    }
    return *found;
}

}  // namespace

void ExtractLibrary(std::span<const TTlsPayload> APayloads, const std::filesystem::path& ADirectory,
                    std::string_view AName) {
    const TTlsPayload& payload = PayloadNamed(APayloads, AName);
    const fs::path target = ADirectory / (std::string(AName) + std::string(payload.FileNameEnding));
    if (FilePresent(target)) {
        return;  // whatever it holds: a library put there by hand is the user's choice
    }
    // A dangling link left at the name is replaced, never written through.
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(target, ignored))) {
        fs::remove(target, ignored);
    }
    platform::TFile file = platform::CreatePlainFile(target);
    for (std::span<const std::byte> rest = payload.Bytes; !rest.empty();) {
        const std::span<const std::byte> piece = rest.first(std::min(rest.size(), kWritePiece));
        file.Write(piece);
        rest = rest.subspan(piece.size());
    }
}

}  // namespace korvane
