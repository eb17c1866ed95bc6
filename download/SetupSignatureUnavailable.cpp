// For builds without Ed25519 and BLAKE2b: no key can be read, so no signature ever holds. Such a
// build is configured without a publisher key and never asks.
#include "download/SetupSignature.h"

namespace korvane {

std::optional<TPublisherKey> ParsePublisherKey(std::string_view) {
    return std::nullopt;
}

bool SignatureHolds(const TPublisherKey&, std::string_view, const TReadPiece&) {
    return false;
}

bool SignatureHolds(const TPublisherKey&, std::string_view, const platform::TFile&) {
    return false;
}

}  // namespace korvane
