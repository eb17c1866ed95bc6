// The publisher's key, the setup program's signature and the release its trusted comment names.
// The input is framed as
//   <the key's base64 line> "\n" <the .minisig file's text> "\0" <the signed bytes>
// where a missing "\n" leaves no signature and a missing "\0" no signed bytes. A .minisig file
// never holds a NUL, so the signed bytes start after the first one.

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "download/ExpectedRelease.h"
#include "download/SetupSignature.h"

namespace {

// Whether `ALine` is the one base64 spelling of `AKey`, as a key must be to be taken.
bool IsCanonical(const korvane::TPublisherKey& AKey, std::string_view ALine) {
    std::array<unsigned char, 2 + 8 + 32> bytes{'E', 'd'};
    std::copy(AKey.KeyId.begin(), AKey.KeyId.end(), bytes.begin() + 2);
    std::copy(AKey.Key.begin(), AKey.Key.end(), bytes.begin() + 10);
    std::array<unsigned char, 56 + 1> encoded{};
    const int length =
        EVP_EncodeBlock(encoded.data(), bytes.data(), static_cast<int>(bytes.size()));
    return std::string_view(reinterpret_cast<const char*>(encoded.data()), length) == ALine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string_view input(reinterpret_cast<const char*>(AData), ASize);
    const std::size_t keyEnd = std::min(input.find('\n'), input.size());
    const std::string_view keyLine = input.substr(0, keyEnd);
    const std::string_view afterKey = input.substr(std::min(keyEnd + 1, input.size()));
    const std::size_t signatureEnd = std::min(afterKey.find('\0'), afterKey.size());
    const std::string_view signature = afterKey.substr(0, signatureEnd);
    std::string_view signedBytes = afterKey.substr(std::min(signatureEnd + 1, afterKey.size()));

    const auto key = korvane::ParsePublisherKey(keyLine);
    if (!key) {
        return 0;
    }
    if (!IsCanonical(*key, keyLine)) {
        __builtin_trap();
    }
    const auto comment =
        korvane::SignedTrustedComment(*key, signature, [&](std::span<std::byte> ABuffer) {
            const std::size_t count = std::min(signedBytes.size(), ABuffer.size());
            std::copy_n(reinterpret_cast<const std::byte*>(signedBytes.data()), count,
                        ABuffer.begin());
            signedBytes.remove_prefix(count);
            return count;
        });
    // As the program goes on: the release that a signature that holds names.
    if (comment) {
        korvane::ClaimOfTrustedComment(*comment);
    }
    return 0;
}
