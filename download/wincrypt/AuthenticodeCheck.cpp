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
#include "download/wincrypt/RevocationList.h"
#include "download/wincrypt/TimeStamp.h"
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
        // Revocation is ours to check, over the program's own client (RevocationList.h): Wine
        // fetches no list, and Windows would fetch it with time-outs and a cache of its own.
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
        const CRYPT_PROVIDER_SGNR* signer = ProviderSigner();
        if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) {
            return nullptr;
        }
        return signer->pasCertChain[0].pCert;
    }

    // The signature as this verification read it, its unsigned attributes included; nullptr for
    // none.
    const CMSG_SIGNER_INFO* SignerInfo() const {
        const CRYPT_PROVIDER_SGNR* signer = ProviderSigner();
        return signer != nullptr ? signer->psSigner : nullptr;
    }

private:
    const CRYPT_PROVIDER_SGNR* ProviderSigner() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(FData.hWVTStateData);
        return provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0)
                                   : nullptr;
    }

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

class TAuthenticodeCheck final : public IPublisherCheck {
public:
    TAuthenticodeCheck(std::wstring ASignerName, std::vector<TCertificate> AIssuers,
                       std::optional<TExpectedRelease> ARelease)
        : FSignerName(std::move(ASignerName)),
          FIssuers(std::move(AIssuers)),
          FRelease(std::move(ARelease)) {}

    // The file is read through the handle the run holds, which lets nothing else write it.
    bool Holds(TIdHTTPProgress& AClient, const std::string&,
               const platform::TFile& AFile) override {
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
               !IsRevokedAsSigned(AClient, verification) &&
               FRelease->Admits(ClaimOfVersionRecord(readAt));
    }

private:
    // WinVerifyTrust vouches for the file and the signature; whose signature it is, and who
    // vouches for the signer, is ours to decide.
    bool IsMakersSigner(PCCERT_CONTEXT ASigner) const {
        return ASigner != nullptr && !FSignerName.empty() && CommonNameOf(ASigner) == FSignerName &&
               HasExtendedKeyUsage(ASigner, szOID_PKIX_KP_CODE_SIGNING) &&
               std::any_of(FIssuers.begin(), FIssuers.end(), [&](const TCertificate& AIssuer) {
                   return IsIssuedBy(ASigner, AIssuer.get());
               });
    }

    // A signature made with a revoked certificate holds only when an authority time-stamped it
    // before the revocation date: releases signed before a key was stolen keep working.
    bool IsRevokedAsSigned(TIdHTTPProgress& AClient,
                           const TTrustVerification& AVerification) const {
        const std::optional<FILETIME> revoked =
            RevocationDateOf(AClient, AVerification.Signer(), FIssuers);
        if (!revoked) {
            return false;
        }
        const CMSG_SIGNER_INFO* signature = AVerification.SignerInfo();
        const std::optional<FILETIME> stamped =
            signature != nullptr ? TimeStampOf(*signature, FIssuers) : std::nullopt;
        return !stamped || CompareFileTime(&*stamped, &*revoked) >= 0;
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
