// The certificate table of a PE file, where its Authenticode signature lies: read over bytes,
// free of any system type, so that the same check runs, and is tested, everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "download/PeImage.h"

namespace korvane {

// Largest certificate table accepted: a signature with its certificates takes a few KiB.
inline constexpr std::uint32_t kMaxCertificateTableSize = 1 << 20;

// True when the file that `AReadAt` reads has sound PE headers (PE32 or PE32+) and a certificate
// table that ends the file and holds exactly one entry, a PKCS#7 signed-data, followed by nothing
// but fewer than 8 zero bytes of padding. Bytes after the entry are outside what the signature's
// digest covers (CVE-2013-3900): a file that carries any is refused, as Windows refuses it only
// with EnableCertPaddingCheck. Reads the headers and the table only; a read that raises raises
// through.
bool CertificateTableIsSound(const TReadAt& AReadAt);

// The same for a whole file in memory.
bool CertificateTableIsSound(std::span<const std::byte> AFile);

}  // namespace korvane
