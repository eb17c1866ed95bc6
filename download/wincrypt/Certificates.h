// Certificates as the Windows crypto API holds them, owned, and read from PEM text; the other
// objects of the crypto API that the checks hold.
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

// True when `AIssuer` issued `ACertificate`: its subject is the certificate's issuer, and its key
// made the certificate's signature.
bool IsIssuedBy(PCCERT_CONTEXT ACertificate, PCCERT_CONTEXT AIssuer);

// True when the certificate's extended key usage extension names `AUsage`.
bool HasExtendedKeyUsage(PCCERT_CONTEXT ACertificate, std::string_view AUsage);

struct TStoreCloser {
    void operator()(HCERTSTORE AStore) const { CertCloseStore(AStore, 0); }
};
using TStore = std::unique_ptr<void, TStoreCloser>;
struct TChainFreer {
    void operator()(PCCERT_CHAIN_CONTEXT AChain) const { CertFreeCertificateChain(AChain); }
};
using TChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, TChainFreer>;

// The chain the system builds for `ACertificate` for the extended key usage `AUsage`, as of
// `ATime` (nullptr: now), from the system's stores and `AExtra`; nullptr when it builds none.
// Whether the chain is trusted is the caller's to check.
TChain ChainFor(PCCERT_CONTEXT ACertificate, LPCSTR AUsage, const FILETIME* ATime,
                HCERTSTORE AExtra);

// What CryptDecodeObjectEx allocates.
struct TLocalFreer {
    void operator()(void* AMemory) const { LocalFree(AMemory); }
};
template <class T>
using TDecoded = std::unique_ptr<T, TLocalFreer>;

// `AEncoded` decoded as `AType`; nullptr when it does not read.
template <class T>
TDecoded<T> Decoded(LPCSTR AType, const BYTE* AEncoded, DWORD ASize) {
    T* decoded = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, AType, AEncoded, ASize,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size)) {
        return nullptr;
    }
    return TDecoded<T>(decoded);
}

}  // namespace korvane
