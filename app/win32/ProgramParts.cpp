#include "app/ProgramParts.h"

#include <memory>

#include "download/BuildSettings.h"
#include "download/SetupRelease.h"
#include "download/wincrypt/AuthenticodeCheck.h"
#include "download/winhttp/WinHttpIOHandler.h"

namespace korvane {

TDownloadParts ProgramParts() {
    // WinHTTP's TLS is the system's own (Schannel): there are no libraries to carry.
    return {.Transport = std::make_unique<TWinHttpIOHandler>(build_settings::TrustedCaPem()),
            .PublisherCheck = AuthenticodeCheck(build_settings::SetupSignerName(),
                                                build_settings::SetupSignerCaPem(),
                                                SetupRelease(build_settings::SetupMinVersion())),
            .TlsLibraries = {}};
}

}  // namespace korvane
