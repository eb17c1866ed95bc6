#include "download/CertificateTable.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace korvane {

namespace {

// The DOS header: its magic, and where it keeps the offset of the PE headers (e_lfanew).
constexpr std::uint16_t kDosMagic = 0x5A4D;  // "MZ"
constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kNewHeaderOffsetAt = 0x3C;

// The PE headers: the signature, the COFF header, the optional header, the section table.
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kSectionCountAt = 4 + 2;
constexpr std::size_t kOptionalHeaderSizeAt = 4 + 16;
constexpr std::size_t kOptionalHeaderAt = 4 + 20;
constexpr std::int64_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
// Where the optional header keeps NumberOfRvaAndSizes, which the data directories follow.
constexpr std::size_t kDirectoryCountAtPe32 = 92;
constexpr std::size_t kDirectoryCountAtPe32Plus = 108;
constexpr std::size_t kDirectorySize = 8;
constexpr std::uint32_t kSecurityDirectory = 4;   // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr std::uint32_t kMaxDirectoryCount = 16;  // IMAGE_NUMBEROF_DIRECTORY_ENTRIES

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

// Little-endian fields of a buffer that holds them.
std::uint16_t U16(std::span<const std::byte> ABytes, std::size_t AAt) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(ABytes[AAt]) |
                                      std::to_integer<unsigned>(ABytes[AAt + 1]) << 8);
}
std::uint32_t U32(std::span<const std::byte> ABytes, std::size_t AAt) {
    return U16(ABytes, AAt) | static_cast<std::uint32_t>(U16(ABytes, AAt + 2)) << 16;
}

// Exactly `ASize` bytes from `AOffset` on; nullopt when the file ends before.
std::optional<std::vector<std::byte>> ReadExactly(const TReadAt& AReadAt, std::int64_t AOffset,
                                                  std::size_t ASize) {
    std::vector<std::byte> bytes(ASize);
    if (AReadAt(AOffset, bytes) != ASize) {
        return std::nullopt;
    }
    return bytes;
}

// Whether the file ends at `AOffset`.
bool EndsAt(const TReadAt& AReadAt, std::int64_t AOffset) {
    std::array<std::byte, 1> beyond{};
    return AReadAt(AOffset, beyond) == 0;
}

// Where the PE headers start, after the DOS header; nullopt when the file has none.
std::optional<std::int64_t> PeHeadersOffset(const TReadAt& AReadAt) {
    const auto dos = ReadExactly(AReadAt, 0, kDosHeaderSize);
    if (!dos || U16(*dos, 0) != kDosMagic) {
        return std::nullopt;
    }
    const std::uint32_t offset = U32(*dos, kNewHeaderOffsetAt);
    if (offset < kDosHeaderSize) {
        return std::nullopt;  // the PE headers would overlap the DOS header
    }
    return offset;
}

// Where the optional header of magic `AMagic` keeps NumberOfRvaAndSizes; nullopt for a magic
// that is neither PE32 nor PE32+.
std::optional<std::size_t> DirectoryCountAt(std::uint16_t AMagic) {
    switch (AMagic) {
        case kMagicPe32:
            return kDirectoryCountAtPe32;
        case kMagicPe32Plus:
            return kDirectoryCountAtPe32Plus;
        default:
            return std::nullopt;
    }
}

struct TDirectory {
    std::uint32_t Offset = 0;  // a file offset, for this entry alone of all data directories
    std::uint32_t Size = 0;
    std::int64_t HeadersEnd = 0;  // the end of the section table
};

// The certificate table's entry in the PE headers; nullopt when they are not those of a PE file,
// or do not hold that entry.
std::optional<TDirectory> SecurityDirectory(const TReadAt& AReadAt) {
    const std::optional<std::int64_t> pe = PeHeadersOffset(AReadAt);
    if (!pe) {
        return std::nullopt;
    }
    const auto coff = ReadExactly(AReadAt, *pe, kOptionalHeaderAt);
    if (!coff || U32(*coff, 0) != kPeSignature) {
        return std::nullopt;
    }
    const std::uint16_t optionalSize = U16(*coff, kOptionalHeaderSizeAt);
    const auto optional = ReadExactly(AReadAt, *pe + kOptionalHeaderAt, optionalSize);
    if (!optional || optionalSize < 2) {
        return std::nullopt;
    }
    const std::optional<std::size_t> countAt = DirectoryCountAt(U16(*optional, 0));
    if (!countAt || optionalSize < *countAt + 4) {
        return std::nullopt;
    }
    // The directories counted must be there, the security one among them.
    const std::uint32_t count = U32(*optional, *countAt);
    const std::size_t directoriesAt = *countAt + 4;
    if (count <= kSecurityDirectory || count > kMaxDirectoryCount ||
        optionalSize < directoriesAt + count * kDirectorySize) {
        return std::nullopt;
    }
    const std::size_t entryAt = directoriesAt + kSecurityDirectory * kDirectorySize;
    const std::int64_t sectionTableAt = *pe + kOptionalHeaderAt + optionalSize;
    const std::int64_t sectionTableSize = U16(*coff, kSectionCountAt) * kSectionHeaderSize;
    return TDirectory{.Offset = U32(*optional, entryAt),
                      .Size = U32(*optional, entryAt + 4),
                      .HeadersEnd = sectionTableAt + sectionTableSize};
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
    const std::optional<TDirectory> directory = SecurityDirectory(AReadAt);
    if (!directory || directory->Offset % kAlignment != 0 ||
        directory->Offset < directory->HeadersEnd || directory->Size < kEntryHeaderSize ||
        directory->Size > kMaxCertificateTableSize) {
        return false;
    }
    // Signing tools put the table last, and the signature's digest takes it to be last: a file
    // that goes on after it was laid out by something else.
    const auto table = ReadExactly(AReadAt, directory->Offset, directory->Size);
    return table && EndsAt(AReadAt, std::int64_t{directory->Offset} + directory->Size) &&
           HoldsOneSignature(*table);
}

bool CertificateTableIsSound(std::span<const std::byte> AFile) {
    return CertificateTableIsSound([AFile](std::int64_t AOffset, std::span<std::byte> ABuffer) {
        if (AOffset < 0 || static_cast<std::uint64_t>(AOffset) >= AFile.size()) {
            return std::size_t{0};
        }
        const auto piece = AFile.subspan(static_cast<std::size_t>(AOffset));
        const std::size_t count = std::min(piece.size(), ABuffer.size());
        std::copy_n(piece.begin(), count, ABuffer.begin());
        return count;
    });
}

}  // namespace korvane
