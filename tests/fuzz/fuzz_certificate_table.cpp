// The downloaded file's certificate table. The input is the whole file, read at the offsets the
// check asks for, as it reads the file on disk.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "download/CertificateTable.h"

namespace {

// The largest read the check may ask for: the table, or an optional header of any 16-bit size.
constexpr std::size_t kLargestRead =
    std::max<std::size_t>(korvane::kMaxCertificateTableSize, 0xFFFF);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::span<const std::byte> file(reinterpret_cast<const std::byte*>(AData), ASize);
    korvane::CertificateTableIsSound([file](std::int64_t AOffset, std::span<std::byte> ABuffer) {
        // Offsets and sizes come from the file's own fields: none may escape the check's bounds.
        if (AOffset < 0 || ABuffer.size() > kLargestRead) {
            __builtin_trap();
        }
        if (static_cast<std::uint64_t>(AOffset) >= file.size()) {
            return std::size_t{0};
        }
        const auto piece = file.subspan(static_cast<std::size_t>(AOffset));
        const std::size_t count = std::min(piece.size(), ABuffer.size());
        std::copy_n(piece.begin(), count, ABuffer.begin());
        return count;
    });
    return 0;
}
