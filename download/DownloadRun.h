// One download run: deploys the TLS libraries, downloads the setup program into the temporary
// directory, starts it and closes the window, or shows why it could not.
#pragma once

#include <filesystem>

#include "texts/StatusTexts.h"

namespace korvane {

class IMainWindowView;
class TIdHTTPProgress;

// The system's temporary directory, with a trailing separator.
std::filesystem::path TempDirectory();

class TDownloadRun {
public:
    // `AExecutableDirectory` receives the TLS libraries.
    TDownloadRun(IMainWindowView& AView, TIdHTTPProgress& AClient,
                 std::filesystem::path AExecutableDirectory);

    void TimerTimer();
    void btnRetryClick();
    void btnDownloadLinkClick();

private:
    // Both buttons, the failed title and `AMessage`; the bar stays as the run left it.
    void ShowFailure(TStatusText AMessage);

    IMainWindowView& FView;
    TIdHTTPProgress& FClient;
    const std::filesystem::path FExecutableDirectory;
};

}  // namespace korvane
