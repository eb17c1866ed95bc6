// The version record of a Windows program. The input is the whole file, read at the offsets the
// reader asks for, as it reads the file on disk.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "download/PeImage.h"
#include "download/VersionRecord.h"

namespace {

// The largest read the reader may ask for: an optional header of any 16-bit size, a resource
// table's entries at their 16-bit counts, or the record itself.
constexpr std::size_t kLargestRead =
    std::max<std::size_t>({0xFFFF, 16 + 2 * 0xFFFF * 8, korvane::kMaxVersionRecordSize});

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const auto file = std::as_bytes(std::span(AData, ASize));
    const korvane::TReadAt readFile = korvane::ReadAtBytes(file);
    korvane::ClaimOfVersionRecord([&](std::int64_t AOffset, std::span<std::byte> ABuffer) {
        // Offsets and sizes come from the file's own fields: none may escape the reader's bounds.
        if (AOffset < 0 || ABuffer.size() > kLargestRead) {
            __builtin_trap();
        }
        return readFile(AOffset, ABuffer);
    });
    return 0;
}
