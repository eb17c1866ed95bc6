// Whether the authority that issued the maker's certificate has revoked it: the revocation list
// that the certificate names, fetched through the program's own client and checked with the crypto
// API. Wine's WinVerifyTrust fetches no list.
#pragma once

// windows.h first: wincrypt.h builds on it.
#include <windows.h>

#include <wincrypt.h>

#include <optional>
#include <span>

#include "download/wincrypt/Certificates.h"

namespace korvane {

class TIdHTTPProgress;

// The date from which the current revocation list of `ACertificate`'s issuer, one of
// `AAuthorities`, revokes it; nullopt when the list does not name it, and when no current list
// signed by that issuer could be fetched from the HTTP addresses that the certificate names (a
// list past its next update, signed by another key or that does not read counts as none). The
// window keeps being served during each fetch, which the client's read time-out bounds. Raises
// ETransferCancelled when a close request stopped a fetch.
std::optional<FILETIME> RevocationDateOf(TIdHTTPProgress& AClient, PCCERT_CONTEXT ACertificate,
                                         std::span<const TCertificate> AAuthorities);

}  // namespace korvane
