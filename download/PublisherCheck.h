// Whether a downloaded setup program comes from its maker: the signature that the build names,
// checked between the download and the start.
#pragma once

#include <string>

namespace korvane {

class TIdHTTPProgress;

namespace platform {
class TFile;
}

class IPublisherCheck {
public:
    virtual ~IPublisherCheck() = default;

    // True when the maker signed the sealed file `AFile`, which `AClient` downloaded from
    // `AAddress`. May raise EDownloadError or std::system_error, which count as false.
    virtual bool Holds(TIdHTTPProgress& AClient, const std::string& AAddress,
                       const platform::TFile& AFile) = 0;
};

}  // namespace korvane
