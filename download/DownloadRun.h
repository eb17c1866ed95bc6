// One download run: deploys the TLS libraries, downloads the setup program into the user's own
// temporary directory, checks the publisher's signature on it when the build names a key, starts
// it and closes the window, or shows why it could not.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "download/SetupSignature.h"
#include "texts/StatusTexts.h"

namespace korvane {

class IMainWindowView;
class TIdHTTPProgress;

namespace platform {
class TFile;
}

// The user's own temporary directory, with a trailing separator. Raises std::system_error when it
// is not fit to hold the download.
std::filesystem::path TempDirectory();

// The base64 line of the publisher's public key that the build fixed; empty when it named none.
std::string_view BuiltInSetupPublicKey();

class TDownloadRun {
public:
    // `ASetupPublicKey` is the base64 line of the key that must have signed the setup program;
    // empty when the verified TLS connection alone vouches for it.
    TDownloadRun(IMainWindowView& AView, TIdHTTPProgress& AClient,
                 std::string_view ASetupPublicKey);

    void TimerTimer();
    void btnRetryClick();
    void btnDownloadLinkClick();

private:
    // True when `ATarget` holds what the publisher signed, the signature fetched from beside
    // `AAddress`.
    bool SignatureHolds(const std::string& AAddress, const platform::TFile& ATarget);
    // Both buttons, the failed title and `AMessage`; the bar stays as the run left it.
    void ShowFailure(TStatusText AMessage);

    IMainWindowView& FView;
    TIdHTTPProgress& FClient;
    const bool FSignatureRequired;
    // Empty when the key is required but unreadable: then no signature holds.
    const std::optional<TPublisherKey> FPublisherKey;
};

}  // namespace korvane
