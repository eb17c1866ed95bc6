// The publisher's signature on the setup program: a detached minisign signature, checked against
// the public key fixed into the executable before the downloaded file may be started.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace korvane {

namespace platform {
class TFile;
}

// A minisign public key: the id that signatures name, and the Ed25519 key itself.
struct TPublisherKey {
    std::array<std::uint8_t, 8> KeyId{};
    std::array<std::uint8_t, 32> Key{};
};

// Decodes the base64 line of a public key file as `minisign -G` writes it ("RW..."); nullopt when
// it is not one.
std::optional<TPublisherKey> ParsePublisherKey(std::string_view ABase64Line);

// Hands over the signed bytes in order: fills the start of its argument and returns how many bytes
// it put there, 0 at the end. May raise.
using TReadPiece = std::function<std::size_t(std::span<std::byte>)>;

// Largest signature file accepted.
inline constexpr std::size_t kMaxSignatureSize = 4096;

// The trusted comment of `ASignatureFile`, the text of a .minisig file, when that is a prehashed
// ("ED") signature by `AKey` of the bytes that `AReadPiece` hands over and its global signature
// holds for the signature followed by the trusted comment; nullopt otherwise. The comment is part
// of `ASignatureFile`. Lines may end in CRLF; nothing else is lenient.
std::optional<std::string_view> SignedTrustedComment(const TPublisherKey& AKey,
                                                     std::string_view ASignatureFile,
                                                     const TReadPiece& AReadPiece);

// The same for the bytes of `AFile` as they are on disk, from its first byte on.
std::optional<std::string_view> SignedTrustedComment(const TPublisherKey& AKey,
                                                     std::string_view ASignatureFile,
                                                     const platform::TFile& AFile);

}  // namespace korvane
