#include "download/SetupSignature.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace korvane {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::array<std::uint8_t, 2> kKeyAlgorithm = {'E', 'd'};
// Ed25519 over the BLAKE2b-512 digest of the file; the legacy "Ed" form signs the file itself,
// which would need all of it in memory, and is not accepted.
constexpr std::array<std::uint8_t, 2> kPrehashedAlgorithm = {'E', 'D'};
constexpr std::size_t kSignatureLength = 64;
constexpr std::size_t kDigestLength = 64;
constexpr std::size_t kReadPiece = 64 * 1024;

using TSignature = std::array<std::uint8_t, kSignatureLength>;

struct TMdDeleter {
    void operator()(EVP_MD* AMd) const { EVP_MD_free(AMd); }
};
struct TMdCtxDeleter {
    void operator()(EVP_MD_CTX* ACtx) const { EVP_MD_CTX_free(ACtx); }
};
struct TPkeyDeleter {
    void operator()(EVP_PKEY* AKey) const { EVP_PKEY_free(AKey); }
};
using TMd = std::unique_ptr<EVP_MD, TMdDeleter>;
using TMdCtx = std::unique_ptr<EVP_MD_CTX, TMdCtxDeleter>;
using TPkey = std::unique_ptr<EVP_PKEY, TPkeyDeleter>;

// Drops what libcrypto queues on this thread while a signature is checked: a refused signature is
// an answer, and must not show up later as the cause of some unrelated TLS failure.
class TErrorMark {
public:
    TErrorMark() { ERR_set_mark(); }
    TErrorMark(const TErrorMark&) = delete;
    TErrorMark& operator=(const TErrorMark&) = delete;
    ~TErrorMark() { ERR_pop_to_mark(); }
};

constexpr std::size_t EncodedLength(std::size_t ASize) {
    return (ASize + 2) / 3 * 4;
}

// The bytes of `AText` when it is exactly the canonical base64 of `ASize` bytes. Encoding the
// result again and comparing refuses in one go whitespace, stray or missing padding, and unused
// bits that are not zero, all of which EVP_DecodeBlock lets through.
template <std::size_t ASize>
std::optional<std::array<std::uint8_t, ASize>> DecodeBase64(std::string_view AText) {
    constexpr std::size_t kEncoded = EncodedLength(ASize);
    if (AText.size() != kEncoded) {
        return std::nullopt;
    }
    std::array<std::uint8_t, kEncoded / 4 * 3> decoded{};
    if (EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(AText.data()),
                        static_cast<int>(kEncoded)) != static_cast<int>(decoded.size())) {
        return std::nullopt;
    }
    std::array<unsigned char, kEncoded + 1> encoded{};  // EVP_EncodeBlock adds a NUL
    if (EVP_EncodeBlock(encoded.data(), decoded.data(), static_cast<int>(ASize)) !=
            static_cast<int>(kEncoded) ||
        !std::equal(AText.begin(), AText.end(), encoded.begin())) {
        return std::nullopt;
    }
    std::array<std::uint8_t, ASize> bytes{};
    std::copy_n(decoded.begin(), ASize, bytes.begin());
    return bytes;
}

// Takes the next line off `ARest`, without its "\n" or "\r\n"; nullopt when no line end follows.
std::optional<std::string_view> TakeLine(std::string_view& ARest) {
    const std::size_t end = ARest.find('\n');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view line = ARest.substr(0, end);
    ARest.remove_prefix(end + 1);
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return line;
}

// The text after `APrefix`. A CR left in the line was not part of a line end; a NUL would end the
// comment early for C tools, so that what they show differs from what was signed.
std::optional<std::string_view> CommentText(std::string_view ALine, std::string_view APrefix) {
    if (!ALine.starts_with(APrefix) ||
        ALine.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    return ALine.substr(APrefix.size());
}

struct TSignatureFile {
    std::array<std::uint8_t, 2> Algorithm{};
    std::array<std::uint8_t, 8> KeyId{};
    TSignature Signature{};
    std::string_view TrustedComment;
    TSignature GlobalSignature{};
};

std::optional<TSignatureFile> ParseSignatureFile(std::string_view AText) {
    if (AText.size() > kMaxSignatureSize) {
        return std::nullopt;
    }
    std::string_view rest = AText;
    const auto untrusted = TakeLine(rest);
    const auto signatureLine = TakeLine(rest);
    const auto trusted = TakeLine(rest);
    const auto globalLine = TakeLine(rest);
    if (!untrusted || !signatureLine || !trusted || !globalLine || !rest.empty() ||
        !CommentText(*untrusted, kUntrustedPrefix)) {
        return std::nullopt;
    }
    const auto signature = DecodeBase64<2 + 8 + kSignatureLength>(*signatureLine);
    const auto trustedComment = CommentText(*trusted, kTrustedPrefix);
    const auto globalSignature = DecodeBase64<kSignatureLength>(*globalLine);
    if (!signature || !trustedComment || !globalSignature) {
        return std::nullopt;
    }
    TSignatureFile file;
    std::copy_n(signature->begin(), 2, file.Algorithm.begin());
    std::copy_n(signature->begin() + 2, 8, file.KeyId.begin());
    std::copy_n(signature->begin() + 10, kSignatureLength, file.Signature.begin());
    file.TrustedComment = *trustedComment;
    file.GlobalSignature = *globalSignature;
    return file;
}

// BLAKE2b-512 of everything `AReadPiece` hands over, read piece by piece: the setup program is
// never held in memory as a whole.
std::optional<std::array<std::uint8_t, kDigestLength>> Digest(const TReadPiece& AReadPiece) {
    const TMd md(EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr));
    const TMdCtx ctx(EVP_MD_CTX_new());
    if (!md || !ctx || EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<std::byte> buffer(kReadPiece);
    for (;;) {
        const std::size_t count = AReadPiece(buffer);
        if (count == 0) {
            break;
        }
        if (count > buffer.size() || EVP_DigestUpdate(ctx.get(), buffer.data(), count) != 1) {
            return std::nullopt;
        }
    }
    std::array<std::uint8_t, kDigestLength> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != kDigestLength) {
        return std::nullopt;
    }
    return digest;
}

bool Ed25519Holds(EVP_PKEY* AKey, const TSignature& ASignature,
                  std::span<const std::uint8_t> AMessage) {
    const TMdCtx ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, AKey) == 1 &&
           EVP_DigestVerify(ctx.get(), ASignature.data(), ASignature.size(), AMessage.data(),
                            AMessage.size()) == 1;
}

}  // namespace

std::optional<TPublisherKey> ParsePublisherKey(std::string_view ABase64Line) {
    const auto bytes = DecodeBase64<2 + 8 + 32>(ABase64Line);
    if (!bytes || !std::equal(kKeyAlgorithm.begin(), kKeyAlgorithm.end(), bytes->begin())) {
        return std::nullopt;
    }
    TPublisherKey key;
    std::copy_n(bytes->begin() + 2, key.KeyId.size(), key.KeyId.begin());
    std::copy_n(bytes->begin() + 10, key.Key.size(), key.Key.begin());
    return key;
}

std::optional<std::string_view> SignedTrustedComment(const TPublisherKey& AKey,
                                                     std::string_view ASignatureFile,
                                                     const TReadPiece& AReadPiece) {
    const TErrorMark errorMark;
    // What the signature file alone decides comes first: it spares reading the download.
    const auto file = ParseSignatureFile(ASignatureFile);
    if (!file || file->Algorithm != kPrehashedAlgorithm || file->KeyId != AKey.KeyId) {
        return std::nullopt;
    }
    const TPkey key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, AKey.Key.data(), AKey.Key.size()));
    if (!key) {
        return std::nullopt;
    }
    // The trusted comment is what the global signature vouches for, so it is checked before the
    // file is read, too.
    std::vector<std::uint8_t> global(file->Signature.begin(), file->Signature.end());
    global.insert(global.end(), file->TrustedComment.begin(), file->TrustedComment.end());
    if (!Ed25519Holds(key.get(), file->GlobalSignature, global)) {
        return std::nullopt;
    }
    const auto digest = Digest(AReadPiece);
    if (!digest || !Ed25519Holds(key.get(), file->Signature, *digest)) {
        return std::nullopt;
    }
    return file->TrustedComment;
}

std::optional<std::string_view> SignedTrustedComment(const TPublisherKey& AKey,
                                                     std::string_view ASignatureFile,
                                                     const platform::TFile& AFile) {
    std::int64_t offset = 0;
    return SignedTrustedComment(AKey, ASignatureFile, [&](std::span<std::byte> ABuffer) {
        const std::size_t count = AFile.ReadAt(offset, ABuffer);
        offset += static_cast<std::int64_t>(count);
        return count;
    });
}

}  // namespace korvane
