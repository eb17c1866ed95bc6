// What a build fixes into each of its programs: the authority that the connections trust and the
// signature that the setup program must carry. The shipped program and the test programs are built
// with settings of their own (cmake/BuildSettings.cmake), which they link beside the core, as they
// link the text table that holds their download address.
#pragma once

#include <string_view>

namespace korvane::build_settings {

// PEM text of the one certificate authority trusted; empty for the system's trust store.
std::string_view TrustedCaPem();

// The base64 line of the maker's minisign key (Linux); empty when the build names none.
std::string_view SetupPublicKey();

// The maker's Authenticode signer (Windows): its certificate's exact common name, and the PEM text
// of the authorities that issue it; both empty when the build names none.
std::string_view SetupSignerName();
std::string_view SetupSignerCaPem();

// The lowest version of the setup program that may start, "A.B.C.D"; empty for no floor.
std::string_view SetupMinVersion();

}  // namespace korvane::build_settings
