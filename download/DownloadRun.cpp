#include "download/DownloadRun.h"

#include <exception>
#include <optional>
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

// Writes `ALibraries` into the user's data directory, in their order; false when that failed.
bool DeployTlsLibraries(std::span<const TTlsPayload> ALibraries) {
    if (ALibraries.empty()) {
        return true;  // the system's own TLS layer: nothing to write, nothing to fall back from
    }
    try {
        const fs::path directory = platform::UserDataDirectory();
        for (const TTlsPayload& library : ALibraries) {
            ExtractLibrary(ALibraries, directory, library.Name);
        }
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

}  // namespace

std::filesystem::path TempDirectory() {
    return platform::UserTempDirectory();
}

TDownloadRun::TDownloadRun(IMainWindowView& AView, TIdHTTPProgress& AClient,
                           std::unique_ptr<IPublisherCheck> APublisherCheck,
                           std::span<const TTlsPayload> ATlsLibraries)
    : FView(AView),
      FClient(AClient),
      FPublisherCheck(std::move(APublisherCheck)),
      FTlsLibraries(ATlsLibraries) {}

void TDownloadRun::TimerTimer() {
    FView.SetTimerArmed(false);
    std::string address = ToUtf8(LoadText(TStatusText::sSetupUrl));
    std::optional<platform::TDownloadLock> lock;
    std::optional<platform::TRunFolder> folder;
    try {
        // One download at a time for a user; then a folder of this run's own, which nothing left
        // in the temporary directory and no other user can reach. Earlier runs' folders go first.
        lock.emplace(platform::HoldDownloadLock());
        const fs::path temp = TempDirectory();
        platform::RemoveEarlierRunFolders(temp);
        folder.emplace(platform::CreateRunFolder(temp));
    } catch (const std::system_error&) {
        // Another instance downloads, or the folder cannot be made: nothing is asked of anyone.
        ShowFailure(TStatusText::sMsgDownloadFailed);
        return;
    }
    if (!DeployTlsLibraries(FTlsLibraries)) {
        if (!FPublisherCheck) {
            // Over plain HTTP nothing would vouch for what arrives: it is not even fetched.
            ShowFailure(TStatusText::sMsgDownloadFailed);
            return;
        }
        FallBackToPlainHttp(address);
    }
    try {
        const fs::path target = folder->Path() / LoadText(TStatusText::sSetupFileName);
        platform::TFile file = platform::CreatePrivateFile(target);
        const TTransferOutcome outcome = FClient.DownloadFile(address, file);
        if (outcome == TTransferOutcome::Cancelled) {
            // A close request stopped the transfer; the window is on its way out.
            return;
        }
        if (!FPublisherCheck && outcome == TTransferOutcome::EndedByClose) {
            throw EDownloadError(
                "the body ended with the connection, with nothing to vouch for it");
        }
        file.Seal();
        RequireStartable(address, *folder, file);
        FView.SetProgressBarStyle(TProgressBarStyle::Marquee);
        if (platform::StartProgram(FView.NativeHandle(), std::move(file),
                                   LoadText(TStatusText::sSetupParameters))) {
            FView.CloseWindow();
        } else {
            ShowFailure(TStatusText::sMsgLaunchFailed);
        }
    } catch (const std::exception&) {
        // Whatever failed, the network, the file or a library refusing a setting, the download
        // did not happen, and the window offers the two ways on.
        ShowFailure(TStatusText::sMsgDownloadFailed);
    }
}

void TDownloadRun::RequireStartable(const std::string& AAddress,
                                    const platform::TRunFolder& AFolder, platform::TFile& AFile) {
    try {
        if (FPublisherCheck && !FPublisherCheck->Holds(FClient, AAddress, AFile)) {
            throw EDownloadError("the maker's signature does not hold");
        }
        // Whatever else came into the folder might be what the setup program loads.
        AFolder.RequireOnly(AFile.Path().filename());
    } catch (...) {
        AFile.Discard();
        throw;
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
    platform::OpenAddress(FView.NativeHandle(), LoadText(TStatusText::sSetupUrl));
    FView.CloseWindow();
}

void TDownloadRun::ShowFailure(TStatusText AMessage) {
    FView.SetDownloadLinkButtonVisible(true);
    FView.SetRetryButtonVisible(true);
    FView.SetTitle(LoadText(TStatusText::sCaptionFailed));
    FView.SetStatusText(LoadText(AMessage));
}

}  // namespace korvane
