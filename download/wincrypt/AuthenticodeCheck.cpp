// A name and an issuer survive the yearly renewal of the maker's certificate, which a pinned key
// would not.
#include "download/wincrypt/AuthenticodeCheck.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download/CertificateTable.h"
#include "download/VersionRecord.h"
#include "download/wincrypt/Certificates.h"
#include "platform/Platform.h"
#include "platform/WindowsText.h"

namespace korvane {

namespace {

// One WinVerifyTrust verification of a file, its provider data held until it goes.
class TTrustVerification {
public:
    explicit TTrustVerification(const platform::TFile& AFile) {
        FFile.cbStruct = sizeof FFile;
        FFile.pcwszFilePath = AFile.Path().c_str();
        FFile.hFile = reinterpret_cast<HANDLE>(AFile.NativeHandle());
        FData.cbStruct = sizeof FData;
        FData.dwUIChoice = WTD_UI_NONE;
        // Revocation needs the network, which the download has just used and may not have.
        FData.fdwRevocationChecks = WTD_REVOKE_NONE;
        FData.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
        FData.dwUnionChoice = WTD_CHOICE_FILE;
        FData.pFile = &FFile;
        FData.dwStateAction = WTD_STATEACTION_VERIFY;
        FResult = Verify();
    }
    TTrustVerification(const TTrustVerification&) = delete;
    TTrustVerification& operator=(const TTrustVerification&) = delete;
    ~TTrustVerification() {
        FData.dwStateAction = WTD_STATEACTION_CLOSE;
        Verify();
    }

    bool Succeeded() const { return FResult == ERROR_SUCCESS; }

    // The certificate that signed the file, as this verification found it; nullptr for none.
    PCCERT_CONTEXT Signer() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(FData.hWVTStateData);
        if (provider == nullptr) {
            return nullptr;
        }
        CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) {
            return nullptr;
        }
        return signer->pasCertChain[0].pCert;
    }

private:
    LONG Verify() {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        // No window: nobody is asked anything.
        return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &FData);
    }

    WINTRUST_FILE_INFO FFile{};
    WINTRUST_DATA FData{};
    LONG FResult = ERROR_SUCCESS;
};

// The first common name of the certificate's subject.
std::wstring CommonNameOf(PCCERT_CONTEXT ACertificate) {
    void* const commonName = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD length =
        CertGetNameStringW(ACertificate, CERT_NAME_ATTR_TYPE, 0, commonName, nullptr, 0);
    std::wstring name(length, L'\0');
    CertGetNameStringW(ACertificate, CERT_NAME_ATTR_TYPE, 0, commonName, name.data(), length);
    name.resize(length > 0 ? length - 1 : 0);  // without its terminating NUL
    return name;
}

// True when the certificate's extended key usage extension names code signing.
bool IsForCodeSigning(PCCERT_CONTEXT ACertificate) {
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
    return std::any_of(identifiers.begin(), identifiers.end(), [](LPSTR AIdentifier) {
        return std::string_view(AIdentifier) == szOID_PKIX_KP_CODE_SIGNING;
    });
}

// True when `AIssuer` issued `ACertificate`: its subject is the certificate's issuer, and its key
// made the certificate's signature.
bool IsIssuedBy(PCCERT_CONTEXT ACertificate, PCCERT_CONTEXT AIssuer) {
    return CertCompareCertificateName(X509_ASN_ENCODING, &ACertificate->pCertInfo->Issuer,
                                      &AIssuer->pCertInfo->Subject) &&
           CryptVerifyCertificateSignatureEx(
               0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
               const_cast<CERT_CONTEXT*>(ACertificate), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
               const_cast<CERT_CONTEXT*>(AIssuer), 0, nullptr);
}

class TAuthenticodeCheck final : public IPublisherCheck {
public:
    TAuthenticodeCheck(std::wstring ASignerName, std::vector<TCertificate> AIssuers,
                       std::optional<TExpectedRelease> ARelease)
        : FSignerName(std::move(ASignerName)),
          FIssuers(std::move(AIssuers)),
          FRelease(std::move(ARelease)) {}

    // The file is read through the handle the run holds, which lets nothing else write it.
    bool Holds(TIdHTTPProgress&, const std::string&, const platform::TFile& AFile) override {
        const TReadAt readAt = [&AFile](std::int64_t AOffset, std::span<std::byte> ABuffer) {
            return AFile.ReadAt(AOffset, ABuffer);
        };
        // Data smuggled into the signature's own table is outside what its digest covers.
        if (!CertificateTableIsSound(readAt)) {
            return false;
        }
        const TTrustVerification verification(AFile);
        // The version record is read only once the maker's signature vouches for it.
        return FRelease && verification.Succeeded() && IsMakersSigner(verification.Signer()) &&
               FRelease->Admits(ClaimOfVersionRecord(readAt));
    }

private:
    // WinVerifyTrust vouches for the file and the signature; whose signature it is, and who
    // vouches for the signer, is ours to decide.
    bool IsMakersSigner(PCCERT_CONTEXT ASigner) const {
        return ASigner != nullptr && !FSignerName.empty() && CommonNameOf(ASigner) == FSignerName &&
               IsForCodeSigning(ASigner) &&
               std::any_of(FIssuers.begin(), FIssuers.end(), [&](const TCertificate& AIssuer) {
                   return IsIssuedBy(ASigner, AIssuer.get());
               });
    }

    const std::wstring FSignerName;
    const std::vector<TCertificate> FIssuers;
    const std::optional<TExpectedRelease> FRelease;
};

}  // namespace

std::unique_ptr<IPublisherCheck> AuthenticodeCheck(std::string_view ASignerName,
                                                   std::string_view ASignerCaPem,
                                                   std::optional<TExpectedRelease> ARelease) {
    if (ASignerName.empty()) {
        return nullptr;
    }
    // The build checked both; should they still not read, no signature holds.
    return std::make_unique<TAuthenticodeCheck>(
        platform::Widened(ASignerName, CP_UTF8, MB_ERR_INVALID_CHARS).value_or(std::wstring()),
        CertificatesOf(ASignerCaPem), std::move(ARelease));
}

}  // namespace korvane
