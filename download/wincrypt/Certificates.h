// Certificates as the Windows crypto API holds them, owned, and read from PEM text.
#pragma once

// windows.h first: wincrypt.h builds on it.
#include <windows.h>

#include <wincrypt.h>

#include <memory>
#include <string_view>
#include <vector>

namespace korvane {

struct TCertificateFreer {
    void operator()(PCCERT_CONTEXT ACertificate) const { CertFreeCertificateContext(ACertificate); }
};
using TCertificate = std::unique_ptr<const CERT_CONTEXT, TCertificateFreer>;

// The certificates of a PEM text, in order; blocks that are not certificates are skipped.
std::vector<TCertificate> CertificatesOf(std::string_view APem);

// True when both hold the same encoded certificate.
bool SameCertificate(PCCERT_CONTEXT ALeft, PCCERT_CONTEXT ARight);

}  // namespace korvane
