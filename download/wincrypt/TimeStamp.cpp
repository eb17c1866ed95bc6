#include "download/wincrypt/TimeStamp.h"

#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace korvane {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The digests a time stamp may use; SHA-1 is not among them.
struct TDigest {
    std::string_view Oid;
    LPCWSTR Algorithm;  // its name for CNG
};
constexpr std::array kDigests = {
    TDigest{szOID_NIST_sha256, BCRYPT_SHA256_ALGORITHM},
    TDigest{szOID_NIST_sha384, BCRYPT_SHA384_ALGORITHM},
    TDigest{szOID_NIST_sha512, BCRYPT_SHA512_ALGORITHM},
};

struct TMessageCloser {
    void operator()(HCRYPTMSG AMessage) const { CryptMsgClose(AMessage); }
};
using TMessage = std::unique_ptr<void, TMessageCloser>;

// A parameter of a decoded message as it stores it; empty when it has none.
std::vector<BYTE> ParameterOf(HCRYPTMSG AMessage, DWORD AType) {
    DWORD size = 0;
    if (!CryptMsgGetParam(AMessage, AType, 0, nullptr, &size)) {
        return {};
    }
    std::vector<BYTE> value(size);
    if (!CryptMsgGetParam(AMessage, AType, 0, value.data(), &size)) {
        return {};
    }
    value.resize(size);
    return value;
}

bool SameBytes(const BYTE* ALeft, DWORD ALeftSize, const std::vector<BYTE>& ARight) {
    return ALeftSize == ARight.size() && std::memcmp(ALeft, ARight.data(), ALeftSize) == 0;
}

// The digest of `ABytes` with the CNG hash algorithm `AAlgorithm`; empty when it cannot.
std::vector<BYTE> DigestOf(LPCWSTR AAlgorithm, const BYTE* ABytes, DWORD ASize) {
    std::vector<BYTE> digest(64);
    auto size = static_cast<DWORD>(digest.size());
    if (!CryptHashCertificate2(AAlgorithm, 0, nullptr, ABytes, ASize, digest.data(), &size)) {
        return {};
    }
    digest.resize(size);
    return digest;
}

// The token's content, the encoded TSTInfo. Wine hands it over still wrapped in the OCTET STRING
// that carries it; a TSTInfo, a SEQUENCE, never reads as one.
std::vector<BYTE> TimeStampInfoOf(HCRYPTMSG AToken) {
    std::vector<BYTE> content = ParameterOf(AToken, CMSG_CONTENT_PARAM);
    if (const auto wrapped = Decoded<CRYPT_DATA_BLOB>(X509_OCTET_STRING, content.data(),
                                                      static_cast<DWORD>(content.size()))) {
        return {wrapped->pbData, wrapped->pbData + wrapped->cbData};
    }
    return content;
}

// The value of the signature's one RFC 3161 time-stamp attribute; nullptr for none, and for two.
const CRYPT_ATTR_BLOB* TokenOf(const CMSG_SIGNER_INFO& ASigner) {
    const CRYPT_ATTR_BLOB* token = nullptr;
    for (DWORD index = 0; index < ASigner.UnauthAttrs.cAttr; ++index) {
        const CRYPT_ATTRIBUTE& attribute = ASigner.UnauthAttrs.rgAttr[index];
        if (std::string_view(attribute.pszObjId) != szOID_RFC3161_counterSign) {
            continue;
        }
        if (token != nullptr || attribute.cValue != 1) {
            return nullptr;
        }
        token = &attribute.rgValue[0];
    }
    return token;
}

// True when the message's one signer names, among its signed attributes, the digest of the
// content. Wine's verification checks the signature over those attributes only.
bool SignedAttributesCoverTheContent(HCRYPTMSG AMessage) {
    const std::vector<BYTE> attributes = ParameterOf(AMessage, CMSG_SIGNER_AUTH_ATTR_PARAM);
    const std::vector<BYTE> content = TimeStampInfoOf(AMessage);
    const std::vector<BYTE> signerInfo = ParameterOf(AMessage, CMSG_SIGNER_INFO_PARAM);
    if (attributes.empty() || content.empty() || signerInfo.empty()) {
        return false;
    }
    const auto& signer = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    const auto hash = std::find_if(kDigests.begin(), kDigests.end(), [&](const TDigest& ADigest) {
        return std::string_view(signer.HashAlgorithm.pszObjId) == ADigest.Oid;
    });
    if (hash == kDigests.end()) {
        return false;
    }
    const std::vector<BYTE> digest =
        DigestOf(hash->Algorithm, content.data(), static_cast<DWORD>(content.size()));
    const auto& list = *reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributes.data());
    int found = 0;
    bool covers = false;
    for (DWORD index = 0; index < list.cAttr; ++index) {
        const CRYPT_ATTRIBUTE& attribute = list.rgAttr[index];
        if (std::string_view(attribute.pszObjId) != szOID_RSA_messageDigest) {
            continue;
        }
        ++found;
        if (attribute.cValue != 1) {
            return false;
        }
        const auto named = Decoded<CRYPT_DATA_BLOB>(X509_OCTET_STRING, attribute.rgValue[0].pbData,
                                                    attribute.rgValue[0].cbData);
        covers = named && !digest.empty() && SameBytes(named->pbData, named->cbData, digest);
    }
    return found == 1 && covers;
}

// True when the token's message imprint is the digest of `ASignature`. The imprint's algorithm is
// told by the digest's length: the authority signed the digest's bytes, and no two of these
// algorithms give digests of one length.
bool ImprintNames(const CRYPT_DER_BLOB& AImprint, const CRYPT_DATA_BLOB& ASignature) {
    const auto parts =
        Decoded<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, AImprint.pbData, AImprint.cbData);
    if (!parts || parts->cValue != 2) {
        return false;
    }
    const auto imprint = Decoded<CRYPT_DATA_BLOB>(X509_OCTET_STRING, parts->rgValue[1].pbData,
                                                  parts->rgValue[1].cbData);
    if (!imprint) {
        return false;
    }
    return std::any_of(kDigests.begin(), kDigests.end(), [&](const TDigest& ADigest) {
        return SameBytes(imprint->pbData, imprint->cbData,
                         DigestOf(ADigest.Algorithm, ASignature.pbData, ASignature.cbData));
    });
}

// True when the system builds a chain for the authority's certificate at `ATime`, for time
// stamping, to a root it trusts.
bool SystemTrustsForTimeStamping(PCCERT_CONTEXT AAuthority, HCERTSTORE ASent, FILETIME ATime) {
    const TChain chain = ChainFor(AAuthority, szOID_PKIX_KP_TIMESTAMP_SIGNING, &ATime, ASent);
    if (!chain) {
        return false;
    }
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain.get(), &policy,
                                            &status) &&
           status.dwError == 0;
}

}  // namespace

std::optional<FILETIME> TimeStampOf(const CMSG_SIGNER_INFO& ASigner,
                                    std::span<const TCertificate> AAuthorities) {
    const CRYPT_ATTR_BLOB* token = TokenOf(ASigner);
    if (token == nullptr) {
        return std::nullopt;
    }
    const TMessage message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !CryptMsgUpdate(message.get(), token->pbData, token->cbData, TRUE)) {
        return std::nullopt;
    }
    const std::vector<BYTE> contentType = ParameterOf(message.get(), CMSG_INNER_CONTENT_TYPE_PARAM);
    const std::vector<BYTE> signerCount = ParameterOf(message.get(), CMSG_SIGNER_COUNT_PARAM);
    if (contentType.empty() ||
        std::string_view(reinterpret_cast<const char*>(contentType.data())) !=
            szOID_TIMESTAMP_TOKEN ||
        signerCount.size() != sizeof(DWORD) ||
        *reinterpret_cast<const DWORD*>(signerCount.data()) != 1) {
        return std::nullopt;
    }

    // The authority's certificate travels in the token.
    const TStore sent(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
    const std::vector<BYTE> signerId = ParameterOf(message.get(), CMSG_SIGNER_CERT_INFO_PARAM);
    if (!sent || signerId.empty()) {
        return std::nullopt;
    }
    const TCertificate authority(CertGetSubjectCertificateFromStore(
        sent.get(), kEncoding,
        const_cast<CERT_INFO*>(reinterpret_cast<const CERT_INFO*>(signerId.data()))));
    if (!authority) {
        return std::nullopt;
    }
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify{};
    verify.cbSize = sizeof(verify);
    verify.dwSignerIndex = 0;
    verify.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    verify.pvSigner = const_cast<CERT_CONTEXT*>(authority.get());
    if (!CryptMsgControl(message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &verify) ||
        !SignedAttributesCoverTheContent(message.get())) {
        return std::nullopt;
    }

    // TSTInfo: version, policy, messageImprint, serialNumber, genTime, then optional fields.
    const std::vector<BYTE> content = TimeStampInfoOf(message.get());
    const auto fields = Decoded<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, content.data(),
                                                       static_cast<DWORD>(content.size()));
    if (!fields || fields->cValue < 5 || !ImprintNames(fields->rgValue[2], ASigner.EncryptedHash)) {
        return std::nullopt;
    }
    FILETIME time{};
    DWORD size = sizeof(time);
    if (!CryptDecodeObjectEx(kEncoding, X509_CHOICE_OF_TIME, fields->rgValue[4].pbData,
                             fields->rgValue[4].cbData, 0, nullptr, &time, &size)) {
        return std::nullopt;
    }

    const bool vouchedFor = HasExtendedKeyUsage(authority.get(), szOID_PKIX_KP_TIMESTAMP_SIGNING) &&
                            CertVerifyTimeValidity(&time, authority->pCertInfo) == 0 &&
                            (std::any_of(AAuthorities.begin(), AAuthorities.end(),
                                         [&](const TCertificate& AIssuer) {
                                             return IsIssuedBy(authority.get(), AIssuer.get());
                                         }) ||
                             SystemTrustsForTimeStamping(authority.get(), sent.get(), time));
    if (!vouchedFor) {
        return std::nullopt;
    }
    return time;
}

}  // namespace korvane
