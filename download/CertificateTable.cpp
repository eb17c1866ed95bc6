#include "download/CertificateTable.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace korvane {

namespace {

// A WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate.
constexpr std::size_t kEntryHeaderSize = 8;
constexpr std::uint16_t kRevision2 = 0x0200;       // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kPkcsSignedData = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
// Entries start on 8-byte boundaries; so does the table, after a file padded to one.
constexpr std::size_t kAlignment = 8;

// DER: the tags met, and the content type of PKCS#7 signed data (1.2.840.113549.1.7.2) whole.
constexpr std::byte kSequence{0x30};
constexpr std::byte kExplicitContent{0xA0};  // [0] EXPLICIT
constexpr std::array<std::byte, 11> kSignedDataType = {
    std::byte{0x06}, std::byte{0x09}, std::byte{0x2A}, std::byte{0x86},
    std::byte{0x48}, std::byte{0x86}, std::byte{0xF7}, std::byte{0x0D},
    std::byte{0x01}, std::byte{0x07}, std::byte{0x02}};

// Whether the file ends at `AOffset`.
bool EndsAt(const TReadAt& AReadAt, std::int64_t AOffset) {
    std::array<std::byte, 1> beyond{};
    return AReadAt(AOffset, beyond) == 0;
}

// A DER element's tag and where its content lies.
struct TDerElement {
    std::byte Tag{};
    std::size_t ContentAt = 0;
    std::size_t ContentSize = 0;
    std::size_t End() const { return ContentAt + ContentSize; }
};

// The DER element at the start of `ABytes`; nullopt unless its length is definite, in its
// shortest form, and its content fits in `ABytes`.
std::optional<TDerElement> DerElementAt(std::span<const std::byte> ABytes) {
    if (ABytes.size() < 2) {
        return std::nullopt;
    }
    const unsigned first = std::to_integer<unsigned>(ABytes[1]);
    std::size_t contentAt = 2;
    std::uint64_t size = first;
    if (first >= 0x80) {
        const std::size_t count = first & 0x7F;
        // No indefinite length, no more than 4 length bytes.
        if (count == 0 || count > 4 || ABytes.size() < 2 + count) {
            return std::nullopt;
        }
        size = 0;
        for (std::size_t i = 0; i < count; ++i) {
            size = size << 8 | std::to_integer<unsigned>(ABytes[2 + i]);
        }
        // The shortest form: no leading zero byte, no long form for what the short one holds.
        const std::uint64_t shortest = count == 1 ? 0x80 : std::uint64_t{1} << 8 * (count - 1);
        if (size < shortest) {
            return std::nullopt;
        }
        contentAt += count;
    }
    if (size > ABytes.size() - contentAt) {
        return std::nullopt;
    }
    return TDerElement{
        .Tag = ABytes[0], .ContentAt = contentAt, .ContentSize = static_cast<std::size_t>(size)};
}

// The content of the element that `ABytes` holds exactly, with nothing after it; nullopt when
// they hold something else.
std::optional<std::span<const std::byte>> OnlyElement(std::span<const std::byte> ABytes,
                                                      std::byte ATag) {
    const std::optional<TDerElement> element = DerElementAt(ABytes);
    if (!element || element->Tag != ATag || element->End() != ABytes.size()) {
        return std::nullopt;
    }
    return ABytes.subspan(element->ContentAt, element->ContentSize);
}

// The length of the PKCS#7 signed data at the start of `ABytes`, as its outer SEQUENCE gives it:
// a ContentInfo of the signed-data type, whose explicit content is exactly one SEQUENCE. Bytes
// that tools read past or skip over cannot hide inside it. nullopt when it is anything else.
std::optional<std::size_t> SignedDataLength(std::span<const std::byte> ABytes) {
    const std::optional<TDerElement> contentInfo = DerElementAt(ABytes);
    if (!contentInfo || contentInfo->Tag != kSequence) {
        return std::nullopt;
    }
    const auto fields = ABytes.subspan(contentInfo->ContentAt, contentInfo->ContentSize);
    if (fields.size() < kSignedDataType.size() ||
        !std::equal(kSignedDataType.begin(), kSignedDataType.end(), fields.begin())) {
        return std::nullopt;
    }
    const auto content = OnlyElement(fields.subspan(kSignedDataType.size()), kExplicitContent);
    if (!content || !OnlyElement(*content, kSequence)) {
        return std::nullopt;
    }
    return contentInfo->End();
}

bool AllZero(std::span<const std::byte> ABytes) {
    return std::all_of(ABytes.begin(), ABytes.end(),
                       [](std::byte AByte) { return AByte == std::byte{0}; });
}

// Whether `ATable` is one WIN_CERTIFICATE of signed data and fewer than 8 zero bytes after its
// DER data. The entry's length may count those bytes (osslsigncode) or not (signtool, which
// counts them in the table's size only); either way it must cover the DER data and stay in the
// table.
bool HoldsOneSignature(std::span<const std::byte> ATable) {
    if (ATable.size() < kEntryHeaderSize) {
        return false;
    }
    const std::uint32_t entryLength = U32(ATable, 0);
    if (U16(ATable, 4) != kRevision2 || U16(ATable, 6) != kPkcsSignedData ||
        entryLength < kEntryHeaderSize || entryLength > ATable.size()) {
        return false;
    }
    const std::optional<std::size_t> signedData =
        SignedDataLength(ATable.subspan(kEntryHeaderSize, entryLength - kEntryHeaderSize));
    if (!signedData) {
        return false;
    }
    const auto rest = ATable.subspan(kEntryHeaderSize + *signedData);
    return rest.size() < kAlignment && AllZero(rest);
}

}  // namespace

bool CertificateTableIsSound(const TReadAt& AReadAt) {
    const std::optional<TPeHeaders> headers = ReadPeHeaders(AReadAt);
    if (!headers || headers->Directories.size() <= kSecurityDirectory) {
        return false;
    }
    // This entry alone of all data directories gives a file offset.
    const TPeDirectory directory = headers->Directories[kSecurityDirectory];
    if (directory.Address % kAlignment != 0 || directory.Address < headers->HeadersEnd ||
        directory.Size < kEntryHeaderSize || directory.Size > kMaxCertificateTableSize) {
        return false;
    }
    // Signing tools put the table last, and the signature's digest takes it to be last: a file
    // that goes on after it was laid out by something else.
    const auto table = ReadExactly(AReadAt, directory.Address, directory.Size);
    return table && EndsAt(AReadAt, std::int64_t{directory.Address} + directory.Size) &&
           HoldsOneSignature(*table);
}

bool CertificateTableIsSound(std::span<const std::byte> AFile) {
    return CertificateTableIsSound(ReadAtBytes(AFile));
}

}  // namespace korvane
