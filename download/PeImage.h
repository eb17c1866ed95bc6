// The headers of a PE file, the format of Windows programs, read over bytes and free of any system
// type, so that what is checked in them runs, and is tested, everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace korvane {

// Fills `ABuffer` with the file's bytes from `AOffset` on and returns how many it put there, fewer
// only at the end of the file. May raise.
using TReadAt = std::function<std::size_t(std::int64_t AOffset, std::span<std::byte> ABuffer)>;

// The same over a whole file in memory.
TReadAt ReadAtBytes(std::span<const std::byte> AFile);

// Exactly `ASize` bytes from `AOffset` on; nullopt when the file ends before.
std::optional<std::vector<std::byte>> ReadExactly(const TReadAt& AReadAt, std::int64_t AOffset,
                                                  std::size_t ASize);

// Little-endian fields of a buffer that holds them.
std::uint16_t U16(std::span<const std::byte> ABytes, std::size_t AAt);
std::uint32_t U32(std::span<const std::byte> ABytes, std::size_t AAt);

// Where the optional header's data directories say a kind of data lies: an address in the loaded
// image for most, a file offset for the certificate table.
struct TPeDirectory {
    std::uint32_t Address = 0;
    std::uint32_t Size = 0;
};

// Where a section lies in the loaded image and in the file.
struct TPeSection {
    std::uint32_t VirtualAddress = 0;
    std::uint32_t RawSize = 0;
    std::uint32_t RawOffset = 0;
};

// Data directories' indices.
inline constexpr std::size_t kResourceDirectory = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
inline constexpr std::size_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY

struct TPeHeaders {
    std::vector<TPeDirectory> Directories;  // as many as the optional header counts
    std::vector<TPeSection> Sections;
    std::int64_t HeadersEnd = 0;  // the end of the section table

    // The file offset of the `ASize` bytes at `AAddress` in the loaded image, when one section's
    // raw data hold them all; nullopt otherwise.
    std::optional<std::int64_t> FileOffsetOf(std::uint32_t AAddress, std::uint32_t ASize) const;
};

// The headers of a PE32 or PE32+ file; nullopt when the file has none that read.
std::optional<TPeHeaders> ReadPeHeaders(const TReadAt& AReadAt);

}  // namespace korvane
