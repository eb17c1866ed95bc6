#include "PublisherKey.h"

#include "download/DownloadRun.h"

namespace korvane {

std::string_view BuiltInSetupPublicKey() {
    return build_config::kSetupPublicKey;
}

}  // namespace korvane
