// When a time-stamping authority saw an Authenticode signature: its RFC 3161 time stamp, read and
// checked with the crypto API's message functions, since Wine's WinVerifyTrust reads none.
#pragma once

// windows.h first: wincrypt.h builds on it.
#include <windows.h>

#include <wincrypt.h>

#include <optional>
#include <span>

#include "download/wincrypt/Certificates.h"

namespace korvane {

// The time of the RFC 3161 time stamp among the unsigned attributes of the signature `ASigner`.
// It counts only when its token's signature verifies and covers the token's content, the token
// names the digest of `ASigner`'s signature value, and the authority's certificate serves for
// time stamping and is issued by one of `AAuthorities` or chains to a root the system trusts.
// nullopt for none, or one that does not hold; the older PKCS #9 counter-signature counts as none.
std::optional<FILETIME> TimeStampOf(const CMSG_SIGNER_INFO& ASigner,
                                    std::span<const TCertificate> AAuthorities);

}  // namespace korvane
