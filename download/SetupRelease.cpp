#include "download/SetupRelease.h"

#include "texts/StatusTexts.h"

namespace korvane {

std::optional<TExpectedRelease> SetupRelease(std::string_view AMinVersion) {
    return ExpectedRelease(ToUtf8(LoadText(TStatusText::sSetupFileName)), AMinVersion);
}

}  // namespace korvane
