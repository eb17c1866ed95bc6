// One download run: deploys the TLS libraries, downloads the setup program into a folder of the
// run's own in the user's temporary directory, checks the maker's signature on it when the build
// names one, starts it and closes the window, or shows why it could not.
#pragma once

#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "download/PublisherCheck.h"
#include "download/TlsLibraries.h"
#include "texts/StatusTexts.h"

namespace korvane {

class IMainWindowView;
class TIdHTTPProgress;

namespace platform {
class TFile;
class TRunFolder;
}  // namespace platform

// The user's temporary directory, with a trailing separator, where each run makes a folder of its
// own for the download. Raises std::system_error when the system cannot tell.
std::filesystem::path TempDirectory();

class TDownloadRun {
public:
    // `APublisherCheck` decides whether the maker signed the download; nullptr when the verified
    // TLS connection alone vouches for it. `ATlsLibraries` are written before each download;
    // none when the system's own TLS layer serves.
    TDownloadRun(IMainWindowView& AView, TIdHTTPProgress& AClient,
                 std::unique_ptr<IPublisherCheck> APublisherCheck,
                 std::span<const TTlsPayload> ATlsLibraries);

    void TimerTimer();
    void btnRetryClick();
    void btnDownloadLinkClick();

private:
    // Raises unless `AFile`, downloaded from `AAddress`, may start: the maker signed it, when the
    // build names a check, and it is alone in the run's folder `AFolder`, where it starts. A file
    // refused, or that a check could not finish with, is discarded.
    void RequireStartable(const std::string& AAddress, const platform::TRunFolder& AFolder,
                          platform::TFile& AFile);
    // Both buttons, the failed title and `AMessage`; the bar stays as the run left it.
    void ShowFailure(TStatusText AMessage);

    IMainWindowView& FView;
    TIdHTTPProgress& FClient;
    const std::unique_ptr<IPublisherCheck> FPublisherCheck;
    const std::span<const TTlsPayload> FTlsLibraries;
};

}  // namespace korvane
