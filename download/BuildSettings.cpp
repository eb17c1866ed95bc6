// Compiled once for each set of settings, beside the headers that CMake generated from it.
#include "download/BuildSettings.h"

#include "PublisherKey.h"
#include "SetupMinVersion.h"
#include "SetupSigner.h"
#include "TrustedCa.h"

namespace korvane::build_settings {

std::string_view TrustedCaPem() {
    return build_config::kTrustedCaPem;
}

std::string_view SetupPublicKey() {
    return build_config::kSetupPublicKey;
}

std::string_view SetupSignerName() {
    return build_config::kSetupSignerName;
}

std::string_view SetupSignerCaPem() {
    return build_config::kSetupSignerCaPem;
}

std::string_view SetupMinVersion() {
    return build_config::kSetupMinVersion;
}

}  // namespace korvane::build_settings
