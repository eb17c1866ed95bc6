#include "download/MinisignCheck.h"

#include <optional>
#include <string>

#include "download/IdHTTPProgress.h"
#include "download/SetupSignature.h"

namespace korvane {

namespace {

class TMinisignCheck final : public IPublisherCheck {
public:
    explicit TMinisignCheck(std::string_view ABase64Key) : FKey(ParsePublisherKey(ABase64Key)) {}

    bool Holds(TIdHTTPProgress& AClient, const std::string& AAddress,
               const platform::TFile& AFile) override {
        if (!FKey) {
            return false;  // not even fetched: nothing could hold
        }
        // Beside the address the run started from, by the same scheme and through the same
        // client.
        const std::string signature =
            AClient.DownloadToMemory(AAddress + ".minisig", kMaxSignatureSize);
        return SignatureHolds(*FKey, signature, AFile);
    }

private:
    const std::optional<TPublisherKey> FKey;
};

}  // namespace

std::unique_ptr<IPublisherCheck> MinisignCheck(std::string_view ABase64Key) {
    if (ABase64Key.empty()) {
        return nullptr;
    }
    return std::make_unique<TMinisignCheck>(ABase64Key);
}

}  // namespace korvane
