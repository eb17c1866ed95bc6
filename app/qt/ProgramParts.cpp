#include "app/ProgramParts.h"

#include <memory>

#include "download/BuildSettings.h"
#include "download/MinisignCheck.h"
#include "download/SetupRelease.h"
#include "download/curl/CarriedTlsLibraries.h"
#include "download/curl/CurlIOHandler.h"

namespace korvane {

TDownloadParts ProgramParts() {
    return {.Transport = std::make_unique<TCurlIOHandler>(build_settings::TrustedCaPem()),
            .PublisherCheck = MinisignCheck(build_settings::SetupPublicKey(),
                                            SetupRelease(build_settings::SetupMinVersion())),
            .TlsLibraries = CarriedTlsLibraries()};
}

}  // namespace korvane
