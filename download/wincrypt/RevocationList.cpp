#include "download/wincrypt/RevocationList.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "download/IdHTTPProgress.h"
#include "platform/WindowsText.h"

namespace korvane {

namespace {

// A list this long is not a code-signing authority's.
constexpr std::size_t kMaxListSize = 4 << 20;
// Each address may cost a read time-out: a certificate naming many must not hold the run for long.
constexpr std::size_t kMaxAddresses = 3;

struct TListFreer {
    void operator()(PCCRL_CONTEXT AList) const { CertFreeCRLContext(AList); }
};
using TList = std::unique_ptr<const CRL_CONTEXT, TListFreer>;

// True for an address of this client's schemes; LDAP and file addresses are not for it.
bool IsHttpAddress(std::string_view AAddress) {
    std::string scheme(AAddress.substr(0, AAddress.find(':')));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char ALetter) { return static_cast<char>(std::tolower(ALetter)); });
    return scheme == "http" || scheme == "https";
}

// The HTTP addresses of the certificate's CRL distribution points, in their order.
std::vector<std::string> ListAddressesOf(PCCERT_CONTEXT ACertificate) {
    const CERT_INFO& info = *ACertificate->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_CRL_DIST_POINTS, info.cExtension, info.rgExtension);
    if (extension == nullptr) {
        return {};
    }
    const auto points = Decoded<CRL_DIST_POINTS_INFO>(X509_CRL_DIST_POINTS, extension->Value.pbData,
                                                      extension->Value.cbData);
    std::vector<std::string> addresses;
    for (DWORD point = 0; points && point < points->cDistPoint; ++point) {
        const CRL_DIST_POINT_NAME& name = points->rgDistPoint[point].DistPointName;
        if (name.dwDistPointNameChoice != CRL_DIST_POINT_FULL_NAME) {
            continue;
        }
        for (DWORD entry = 0; entry < name.FullName.cAltEntry; ++entry) {
            const CERT_ALT_NAME_ENTRY& alternative = name.FullName.rgAltEntry[entry];
            if (alternative.dwAltNameChoice != CERT_ALT_NAME_URL) {
                continue;
            }
            std::string address = platform::Narrowed(alternative.pwszURL, CP_UTF8);
            if (IsHttpAddress(address)) {
                addresses.push_back(std::move(address));
            }
        }
    }
    return addresses;
}

// The list in `ABytes` when it is current and `AIssuer`, which issued the certificate, signed it.
TList CurrentListOf(const std::string& ABytes, PCCERT_CONTEXT AIssuer) {
    TList list(CertCreateCRLContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(ABytes.data()),
                                    static_cast<DWORD>(ABytes.size())));
    if (!list) {
        return nullptr;
    }
    const CRL_INFO& info = *list->pCrlInfo;
    // A list without a next update would stay current for ever.
    const bool hasNextUpdate =
        info.NextUpdate.dwLowDateTime != 0 || info.NextUpdate.dwHighDateTime != 0;
    const bool current = hasNextUpdate && CertVerifyCRLTimeValidity(nullptr, list->pCrlInfo) == 0;
    const bool signedByIssuer =
        CertCompareCertificateName(X509_ASN_ENCODING, &list->pCrlInfo->Issuer,
                                   &AIssuer->pCertInfo->Subject) &&
        CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CRL,
                                          const_cast<CRL_CONTEXT*>(list.get()),
                                          CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                          const_cast<CERT_CONTEXT*>(AIssuer), 0, nullptr);
    return current && signedByIssuer ? std::move(list) : nullptr;
}

}  // namespace

std::optional<FILETIME> RevocationDateOf(TIdHTTPProgress& AClient, PCCERT_CONTEXT ACertificate,
                                         std::span<const TCertificate> AAuthorities) {
    const auto issuer = std::find_if(
        AAuthorities.begin(), AAuthorities.end(),
        [&](const TCertificate& AIssuer) { return IsIssuedBy(ACertificate, AIssuer.get()); });
    if (issuer == AAuthorities.end()) {
        return std::nullopt;
    }
    std::vector<std::string> addresses = ListAddressesOf(ACertificate);
    addresses.resize(std::min(addresses.size(), kMaxAddresses));
    for (const std::string& address : addresses) {
        std::string bytes;
        try {
            bytes = AClient.DownloadToMemory(address, kMaxListSize, TMemoryNotice::Unchanged);
        } catch (const ETransferCancelled&) {
            throw;
        } catch (const EDownloadError&) {
            continue;  // unreachable, refused, too long: the next address, if any
        }
        const TList list = CurrentListOf(bytes, issuer->get());
        if (!list) {
            continue;
        }
        PCRL_ENTRY entry = nullptr;
        if (!CertFindCertificateInCRL(ACertificate, list.get(), 0, nullptr, &entry)) {
            continue;
        }
        if (entry == nullptr) {
            return std::nullopt;
        }
        return entry->RevocationDate;
    }
    return std::nullopt;
}

}  // namespace korvane
