#include "download/wincrypt/Certificates.h"

#include <cstring>

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

}  // namespace korvane
