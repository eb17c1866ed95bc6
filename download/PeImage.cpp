#include "download/PeImage.h"

#include <algorithm>

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
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
// Where the optional header keeps NumberOfRvaAndSizes, which the data directories follow.
constexpr std::size_t kDirectoryCountAtPe32 = 92;
constexpr std::size_t kDirectoryCountAtPe32Plus = 108;
constexpr std::size_t kDirectorySize = 8;
constexpr std::uint32_t kMaxDirectoryCount = 16;  // IMAGE_NUMBEROF_DIRECTORY_ENTRIES
// A section header: VirtualAddress, SizeOfRawData and PointerToRawData among its fields.
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kVirtualAddressAt = 12;
constexpr std::size_t kRawSizeAt = 16;
constexpr std::size_t kRawOffsetAt = 20;
constexpr std::size_t kMaxSectionCount = 96;  // the most that Windows loads

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

}  // namespace

TReadAt ReadAtBytes(std::span<const std::byte> AFile) {
    return [AFile](std::int64_t AOffset, std::span<std::byte> ABuffer) {
        if (AOffset < 0 || static_cast<std::uint64_t>(AOffset) >= AFile.size()) {
            return std::size_t{0};
        }
        const auto piece = AFile.subspan(static_cast<std::size_t>(AOffset));
        const std::size_t count = std::min(piece.size(), ABuffer.size());
        std::copy_n(piece.begin(), count, ABuffer.begin());
        return count;
    };
}

std::optional<std::vector<std::byte>> ReadExactly(const TReadAt& AReadAt, std::int64_t AOffset,
                                                  std::size_t ASize) {
    std::vector<std::byte> bytes(ASize);
    if (AReadAt(AOffset, bytes) != ASize) {
        return std::nullopt;
    }
    return bytes;
}

std::uint16_t U16(std::span<const std::byte> ABytes, std::size_t AAt) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(ABytes[AAt]) |
                                      std::to_integer<unsigned>(ABytes[AAt + 1]) << 8);
}

std::uint32_t U32(std::span<const std::byte> ABytes, std::size_t AAt) {
    return U16(ABytes, AAt) | static_cast<std::uint32_t>(U16(ABytes, AAt + 2)) << 16;
}

std::optional<std::int64_t> TPeHeaders::FileOffsetOf(std::uint32_t AAddress,
                                                     std::uint32_t ASize) const {
    for (const TPeSection& section : Sections) {
        // In 64 bits: no sum here can wrap around.
        const std::uint64_t into = std::uint64_t{AAddress} - section.VirtualAddress;
        if (AAddress >= section.VirtualAddress && into + ASize <= section.RawSize) {
            return std::int64_t{section.RawOffset} + static_cast<std::int64_t>(into);
        }
    }
    return std::nullopt;
}

std::optional<TPeHeaders> ReadPeHeaders(const TReadAt& AReadAt) {
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
    // The directories counted must be there.
    const std::uint32_t directoryCount = U32(*optional, *countAt);
    const std::size_t directoriesAt = *countAt + 4;
    if (directoryCount > kMaxDirectoryCount ||
        optionalSize < directoriesAt + directoryCount * kDirectorySize) {
        return std::nullopt;
    }
    const std::size_t sectionCount = U16(*coff, kSectionCountAt);
    if (sectionCount > kMaxSectionCount) {
        return std::nullopt;
    }
    const std::int64_t sectionTableAt = *pe + kOptionalHeaderAt + optionalSize;
    const auto sectionTable =
        ReadExactly(AReadAt, sectionTableAt, sectionCount * kSectionHeaderSize);
    if (!sectionTable) {
        return std::nullopt;
    }

    TPeHeaders headers;
    for (std::size_t i = 0; i < directoryCount; ++i) {
        const std::size_t at = directoriesAt + i * kDirectorySize;
        headers.Directories.push_back(
            {.Address = U32(*optional, at), .Size = U32(*optional, at + 4)});
    }
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::size_t at = i * kSectionHeaderSize;
        headers.Sections.push_back({.VirtualAddress = U32(*sectionTable, at + kVirtualAddressAt),
                                    .RawSize = U32(*sectionTable, at + kRawSizeAt),
                                    .RawOffset = U32(*sectionTable, at + kRawOffsetAt)});
    }
    headers.HeadersEnd = sectionTableAt + static_cast<std::int64_t>(sectionTable->size());
    return headers;
}

}  // namespace korvane
