#include "download/DownloadRun.h"

#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "download/IdHTTPProgress.h"
#include "download/MainWindowView.h"
#include "download/TlsLibraries.h"
#include "platform/Platform.h"
#include "texts/StatusTexts.h"

namespace korvane {

namespace {

namespace fs = std::filesystem;

// Writes the TLS libraries beside the executable; false when that failed.
bool DeployTlsLibraries(const fs::path& ADirectory) {
    try {
        ExtractLibrary(ADirectory, "libssl");
        ExtractLibrary(ADirectory, "libcrypto");
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Without TLS libraries of our own, plain HTTP is the one transfer that can still work.
void FallBackToPlainHttp(std::string& AAddress) {
    constexpr std::string_view kSecure = "https://";
    constexpr std::string_view kPlain = "http://";
    if (const auto at = AAddress.find(kSecure); at != std::string::npos) {
        AAddress.replace(at, kSecure.size(), kPlain);
    }
}

fs::path SetupTarget() {
    return TempDirectory() / LoadText(TStatusText::sSetupFileName).toStdString();
}

}  // namespace

std::filesystem::path TempDirectory() {
    // Appending an empty element adds the separator unless one is there already.
    return platform::SystemTempDirectory() / "";
}

TDownloadRun::TDownloadRun(IMainWindowView& AView, TIdHTTPProgress& AClient,
                           std::filesystem::path AExecutableDirectory)
    : FView(AView), FClient(AClient), FExecutableDirectory(std::move(AExecutableDirectory)) {}

void TDownloadRun::TimerTimer() {
    FView.SetTimerArmed(false);
    std::string address = LoadText(TStatusText::sSetupUrl).toStdString();
    if (!DeployTlsLibraries(FExecutableDirectory)) {
        FallBackToPlainHttp(address);
    }
    try {
        // A left-over from an earlier run; if it cannot go, creating the file fails below.
        std::error_code ignored;
        fs::remove(SetupTarget(), ignored);
        if (FClient.DownloadFile(address, SetupTarget()) == TTransferOutcome::Cancelled) {
            // A close request stopped the transfer; the window is on its way out.
            return;
        }
        FView.SetProgressBarStyle(TProgressBarStyle::Marquee);
        if (platform::StartProgram(SetupTarget(),
                                   LoadText(TStatusText::sSetupParameters).toStdString())) {
            FView.CloseWindow();
        } else {
            ShowFailure(TStatusText::sMsgLaunchFailed);
        }
    } catch (const EDownloadError&) {
        ShowFailure(TStatusText::sMsgDownloadFailed);
    }
}

void TDownloadRun::btnRetryClick() {
    FView.SetProgressBarStyle(TProgressBarStyle::Marquee);
    FView.SetProgressBarPosition(0);
    FView.SetRetryButtonVisible(false);
    FView.SetDownloadLinkButtonVisible(false);
    FView.SetTimerArmed(true);
    FView.SetTitle(LoadText(TStatusText::sCaptionDownloading));
    FView.SetStatusText(LoadText(TStatusText::sMsgDownloading));
}

void TDownloadRun::btnDownloadLinkClick() {
    // Always the secure address: the browser has its own TLS, whatever the last run fell back to.
    platform::OpenAddress(LoadText(TStatusText::sSetupUrl).toStdString());
    FView.CloseWindow();
}

void TDownloadRun::ShowFailure(TStatusText AMessage) {
    FView.SetDownloadLinkButtonVisible(true);
    FView.SetRetryButtonVisible(true);
    FView.SetTitle(LoadText(TStatusText::sCaptionFailed));
    FView.SetStatusText(LoadText(AMessage));
}

}  // namespace korvane
