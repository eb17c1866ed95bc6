#include "download/MinisignCheck.h"

#include <optional>
#include <string>
#include <utility>

#include "download/IdHTTPProgress.h"
#include "download/SetupSignature.h"

namespace korvane {

namespace {

class TMinisignCheck final : public IPublisherCheck {
public:
    TMinisignCheck(std::string_view ABase64Key, std::optional<TExpectedRelease> ARelease)
        : FKey(ParsePublisherKey(ABase64Key)), FRelease(std::move(ARelease)) {}

    bool Holds(TIdHTTPProgress& AClient, const std::string& AAddress,
               const platform::TFile& AFile) override {
        if (!FKey || !FRelease) {
            return false;  // not even fetched: nothing could hold
        }
        // Beside the address the run started from, by the same scheme and through the same
        // client.
        const std::string signature =
            AClient.DownloadToMemory(AAddress + ".minisig", kMaxSignatureSize);
        const std::optional<std::string_view> comment =
            SignedTrustedComment(*FKey, signature, AFile);
        // Read only once the maker's key vouches for it.
        return comment && FRelease->Admits(ClaimOfTrustedComment(*comment));
    }

private:
    const std::optional<TPublisherKey> FKey;
    const std::optional<TExpectedRelease> FRelease;
};

}  // namespace

std::unique_ptr<IPublisherCheck> MinisignCheck(std::string_view ABase64Key,
                                               std::optional<TExpectedRelease> ARelease) {
    if (ABase64Key.empty()) {
        return nullptr;
    }
    return std::make_unique<TMinisignCheck>(ABase64Key, std::move(ARelease));
}

}  // namespace korvane
