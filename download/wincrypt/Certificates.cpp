#include "download/wincrypt/Certificates.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

namespace korvane {

std::vector<TCertificate> CertificatesOf(std::string_view APem) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::vector<TCertificate> certificates;
    for (auto begin = APem.find(kBegin); begin != std::string_view::npos;
         begin = APem.find(kBegin, begin)) {
        const auto end = APem.find(kEnd, begin);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view block = APem.substr(begin, end + kEnd.size() - begin);
        begin = end + kEnd.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            continue;
        }
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                                  CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
            continue;
        }
        if (PCCERT_CONTEXT certificate = CertCreateCertificateContext(
                X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), size)) {
            certificates.emplace_back(certificate);
        }
    }
    return certificates;
}

bool SameCertificate(PCCERT_CONTEXT ALeft, PCCERT_CONTEXT ARight) {
    return ALeft->cbCertEncoded == ARight->cbCertEncoded &&
           std::memcmp(ALeft->pbCertEncoded, ARight->pbCertEncoded, ALeft->cbCertEncoded) == 0;
}

bool IsIssuedBy(PCCERT_CONTEXT ACertificate, PCCERT_CONTEXT AIssuer) {
    return CertCompareCertificateName(X509_ASN_ENCODING, &ACertificate->pCertInfo->Issuer,
                                      &AIssuer->pCertInfo->Subject) &&
           CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
               const_cast<CERT_CONTEXT*>(ACertificate), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
               const_cast<CERT_CONTEXT*>(AIssuer), 0, nullptr);
}

bool HasExtendedKeyUsage(PCCERT_CONTEXT ACertificate, std::string_view AUsage) {
    // Without the extension the API reports "every usage": that is not enough here.
    constexpr DWORD kExtensionOnly = CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG;
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(ACertificate, kExtensionOnly, nullptr, &size) || size == 0) {
        return false;
    }
    std::vector<std::byte> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(ACertificate, kExtensionOnly, usage, &size)) {
        return false;
    }
    const std::span identifiers(usage->rgpszUsageIdentifier, usage->cUsageIdentifier);
    return std::any_of(identifiers.begin(), identifiers.end(),
                       [&](LPSTR AIdentifier) { return std::string_view(AIdentifier) == AUsage; });
}

TChain ChainFor(PCCERT_CONTEXT ACertificate, LPCSTR AUsage, const FILETIME* ATime,
                HCERTSTORE AExtra) {
    LPSTR usages[] = {const_cast<LPSTR>(AUsage)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!CertGetCertificateChain(nullptr, ACertificate, const_cast<FILETIME*>(ATime), AExtra,
                                 &parameters, 0, nullptr, &built)) {
        return nullptr;
    }
    return TChain(built);
}

}  // namespace korvane
