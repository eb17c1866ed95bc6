// SetupSignature.cpp also reads the download from a platform file, which the targets never hand
// over: this stands in for the platform library, which would bring Qt along.

#include <cstdlib>

#include "platform/Platform.h"

namespace korvane::platform {

std::size_t TFile::ReadAt(std::int64_t, std::span<std::byte>) const {
    std::abort();
}

}  // namespace korvane::platform
