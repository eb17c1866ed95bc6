// The certificate table of a setup program, over real PE files built with mingw-w64 and signed
// with osslsigncode at build time (tests/CMakeLists.txt), then changed here the way a file is
// changed to smuggle data past its signature, or broken.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "download/CertificateTable.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

using TImage = std::vector<std::byte>;

// A refusal case: what was done to the file, and the file.
using TCases = std::vector<std::pair<std::string, TImage>>;

TImage ImageFile(const std::filesystem::path& APath) {
    const std::string text = test::ReadFile(APath);
    const auto* const bytes = reinterpret_cast<const std::byte*>(text.data());
    return TImage(bytes, bytes + text.size());
}

TImage PeFile(std::string_view AName) {
    return ImageFile(std::filesystem::path(KORVANE_TEST_PE_DIR) / AName);
}

TImage Bytes(std::string_view AText) {
    const auto* const bytes = reinterpret_cast<const std::byte*>(AText.data());
    return TImage(bytes, bytes + AText.size());
}

TImage Zeros(std::size_t ACount) {
    return TImage(ACount, std::byte{0});
}

bool Sound(const TImage& AImage) {
    return CertificateTableIsSound(std::span<const std::byte>(AImage));
}

// Little-endian fields, as the PE format has them.
std::uint32_t U32At(const TImage& AImage, std::size_t AAt) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
        value = value << 8 | std::to_integer<std::uint32_t>(AImage.at(AAt + i));
    }
    return value;
}
std::uint16_t U16At(const TImage& AImage, std::size_t AAt) {
    return static_cast<std::uint16_t>(U32At(AImage, AAt) & 0xFFFF);
}
void PutLittleEndian(TImage& AImage, std::size_t AAt, std::uint32_t AValue, std::size_t ASize) {
    for (std::size_t i = 0; i < ASize; ++i) {
        AImage.at(AAt + i) = std::byte(AValue >> (8 * i) & 0xFF);
    }
}
void PutU32(TImage& AImage, std::size_t AAt, std::uint32_t AValue) {
    PutLittleEndian(AImage, AAt, AValue, 4);
}
void PutU16(TImage& AImage, std::size_t AAt, std::uint16_t AValue) {
    PutLittleEndian(AImage, AAt, AValue, 2);
}

// Where the PE headers keep what the tests change.
std::size_t PeHeadersAt(const TImage& AImage) {
    return U32At(AImage, 0x3C);
}
std::size_t SectionCountAt(const TImage& AImage) {
    return PeHeadersAt(AImage) + 6;
}
std::size_t OptionalHeaderSizeAt(const TImage& AImage) {
    return PeHeadersAt(AImage) + 20;
}
std::size_t OptionalHeaderAt(const TImage& AImage) {
    return PeHeadersAt(AImage) + 24;
}
bool IsPe32Plus(const TImage& AImage) {
    return U16At(AImage, OptionalHeaderAt(AImage)) == 0x20B;
}
std::size_t SizeOfHeaders(const TImage& AImage) {
    return U32At(AImage, OptionalHeaderAt(AImage) + 60);
}
std::size_t DirectoryCountAt(const TImage& AImage) {
    return OptionalHeaderAt(AImage) + (IsPe32Plus(AImage) ? 108 : 92);
}
std::size_t SecurityEntryAt(const TImage& AImage) {
    return DirectoryCountAt(AImage) + 4 + 4 * 8;
}
std::size_t SectionTableAt(const TImage& AImage) {
    return OptionalHeaderAt(AImage) + U16At(AImage, OptionalHeaderSizeAt(AImage));
}

// `AImage` with its PE headers moved over the DOS header to offset 4, as the smallest hand-made PE
// files have them: e_lfanew then falls on the optional header's SectionAlignment, 4 as well.
TImage WithPeHeadersAt4(TImage AImage) {
    const auto headers = AImage.begin() + static_cast<std::ptrdiff_t>(PeHeadersAt(AImage));
    const std::size_t size =
        SectionTableAt(AImage) + 40 * U16At(AImage, SectionCountAt(AImage)) - PeHeadersAt(AImage);
    std::copy_n(headers, size, AImage.begin() + 4);
    PutU32(AImage, 0x3C, 4);
    return AImage;
}

// The certificate table's place, from its directory entry, and its first entry's dwLength.
std::size_t TableOffset(const TImage& AImage) {
    return U32At(AImage, SecurityEntryAt(AImage));
}
std::size_t TableSize(const TImage& AImage) {
    return U32At(AImage, SecurityEntryAt(AImage) + 4);
}
void SetTableOffset(TImage& AImage, std::size_t AOffset) {
    PutU32(AImage, SecurityEntryAt(AImage), static_cast<std::uint32_t>(AOffset));
}
void SetTableSize(TImage& AImage, std::size_t ASize) {
    PutU32(AImage, SecurityEntryAt(AImage) + 4, static_cast<std::uint32_t>(ASize));
}
void SetEntryLength(TImage& AImage, std::size_t ALength) {
    PutU32(AImage, TableOffset(AImage), static_cast<std::uint32_t>(ALength));
}

// The signature's DER data follows the 8 bytes of the entry's header; osslsigncode writes its
// outer SEQUENCE's length in two bytes.
constexpr std::size_t kDerAt = 8;
bool HasTwoByteDerLength(const TImage& AImage) {
    const std::size_t at = TableOffset(AImage) + kDerAt;
    return AImage.at(at) == std::byte{0x30} && AImage.at(at + 1) == std::byte{0x82};
}
std::size_t DerLengthAt(const TImage& AImage) {
    return TableOffset(AImage) + kDerAt + 2;
}
std::size_t DerLength(const TImage& AImage) {
    const std::size_t at = DerLengthAt(AImage);
    return std::to_integer<std::size_t>(AImage.at(at)) << 8 |
           std::to_integer<std::size_t>(AImage.at(at + 1));
}
void SetDerLength(TImage& AImage, std::size_t ALength) {
    const std::size_t at = DerLengthAt(AImage);
    AImage.at(at) = std::byte(ALength >> 8 & 0xFF);
    AImage.at(at + 1) = std::byte(ALength & 0xFF);
}
// The end of the DER data, from the start of the table.
std::size_t SignatureEnd(const TImage& AImage) {
    return kDerAt + 4 + DerLength(AImage);
}

std::size_t RoundedUp(std::size_t ASize) {
    return (ASize + 7) / 8 * 8;
}

// `AImage` with its DER data's outer length written in the bytes `ALength`, and its table laid
// out again around it as osslsigncode lays it out.
TImage WithDerLengthWritten(const TImage& AImage, const TImage& ALength) {
    const auto table = AImage.begin() + static_cast<std::ptrdiff_t>(TableOffset(AImage));
    TImage image(AImage.begin(), table + kDerAt + 1);
    image.insert(image.end(), ALength.begin(), ALength.end());
    image.insert(image.end(), table + kDerAt + 4,
                 table + static_cast<std::ptrdiff_t>(SignatureEnd(AImage)));
    const std::size_t entryLength = RoundedUp(image.size() - TableOffset(AImage));
    image.resize(TableOffset(AImage) + entryLength);
    SetTableSize(image, entryLength);
    SetEntryLength(image, entryLength);
    return image;
}

// How the entry's dwLength stands to what follows the DER data in the table: osslsigncode counts
// the padding in it, signtool leaves it to the table's size.
enum class TEntryLength { CountsTail, LeavesTailOut };

// `AImage` with its certificate table ending in `ATail` right after the DER data.
TImage WithTail(TImage AImage, const TImage& ATail, TEntryLength ALength) {
    const std::size_t signatureEnd = SignatureEnd(AImage);
    AImage.resize(TableOffset(AImage) + signatureEnd);
    AImage.insert(AImage.end(), ATail.begin(), ATail.end());
    SetTableSize(AImage, signatureEnd + ATail.size());
    SetEntryLength(
        AImage, ALength == TEntryLength::CountsTail ? signatureEnd + ATail.size() : signatureEnd);
    return AImage;
}

// `AImage` with `AChange` applied to a copy.
template <class TChange>
TImage Changed(TImage AImage, TChange AChange) {
    AChange(AImage);
    return AImage;
}

// Reads `AImage` as the Windows build reads the file, recording where and how much.
class TRecordingReader {
public:
    explicit TRecordingReader(TImage AImage) : FImage(std::move(AImage)) {}
    std::size_t operator()(std::int64_t AOffset, std::span<std::byte> ABuffer) const {
        const auto at = static_cast<std::size_t>(AOffset);
        FReads.emplace_back(at, ABuffer.size());
        const std::size_t count =
            std::min(ABuffer.size(), FImage.size() - std::min(at, FImage.size()));
        std::copy_n(FImage.begin() + static_cast<std::ptrdiff_t>(at), count, ABuffer.begin());
        return count;
    }
    // Offset and size of each read, in order.
    const std::vector<std::pair<std::size_t, std::size_t>>& Reads() const { return FReads; }

private:
    TImage FImage;
    mutable std::vector<std::pair<std::size_t, std::size_t>> FReads;
};

class CertificateTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(IsPe32Plus(FSigned));
        ASSERT_FALSE(IsPe32Plus(FSigned32));
        ASSERT_TRUE(HasTwoByteDerLength(FSigned));
        ASSERT_EQ(TableOffset(FSigned) + TableSize(FSigned), FSigned.size());
    }

    const TImage FSigned = PeFile("pe32plus-signed.exe");
    const TImage FSigned32 = PeFile("pe32-signed.exe");
};

TEST_F(CertificateTableTest, SignedFilesAreSound) {
    EXPECT_TRUE(Sound(FSigned));
    EXPECT_TRUE(Sound(FSigned32));
    // osslsigncode puts a second signature inside the first one's unsigned attributes: the table
    // still holds one entry.
    const TImage nested = PeFile("pe32plus-nested.exe");
    ASSERT_GT(TableSize(nested), TableSize(FSigned));
    EXPECT_TRUE(Sound(nested));
    // As signtool lays the table out: dwLength without the padding, the table's size with it.
    const std::size_t padding = RoundedUp(SignatureEnd(FSigned)) - SignatureEnd(FSigned);
    EXPECT_TRUE(Sound(WithTail(FSigned, Zeros(padding), TEntryLength::LeavesTailOut)));
}

TEST_F(CertificateTableTest, PaddingIsFewerThanEightZeroBytes) {
    for (const TEntryLength length : {TEntryLength::CountsTail, TEntryLength::LeavesTailOut}) {
        SCOPED_TRACE(length == TEntryLength::CountsTail ? "dwLength with the padding"
                                                        : "dwLength without the padding");
        for (std::size_t count = 0; count < 8; ++count) {
            EXPECT_TRUE(Sound(WithTail(FSigned, Zeros(count), length))) << count << " zero bytes";
        }
        for (const std::size_t count : {8, 9, 16, 4096}) {
            EXPECT_FALSE(Sound(WithTail(FSigned, Zeros(count), length))) << count << " zero bytes";
        }
        for (std::size_t at = 0; at < 7; ++at) {
            TImage padding = Zeros(7);
            padding[at] = std::byte{0x01};
            EXPECT_FALSE(Sound(WithTail(FSigned, padding, length))) << "non-zero byte " << at;
        }
    }
}

TEST_F(CertificateTableTest, DataSmuggledIntoTheTableIsRefused) {
    TImage smuggled = Bytes("smuggled past the signature");
    smuggled.resize(RoundedUp(smuggled.size()));
    // The first entry's own bytes again, after its padding: a second WIN_CERTIFICATE.
    const std::size_t entryEnd = RoundedUp(SignatureEnd(FSigned));
    TImage secondEntry = Zeros(entryEnd - SignatureEnd(FSigned));
    secondEntry.insert(secondEntry.end(), FSigned.begin() + TableOffset(FSigned),
                       FSigned.begin() + TableOffset(FSigned) + SignatureEnd(FSigned));
    secondEntry.resize(2 * entryEnd - SignatureEnd(FSigned));

    const TCases cases = {
        // CVE-2013-3900: the digest leaves the table out, so osslsigncode 2.9's verify still says
        // "Signature verification: ok" for this file.
        {"appended, table and dwLength grown over it",
         WithTail(FSigned, smuggled, TEntryLength::CountsTail)},
        // osslsigncode itself finds this table corrupt.
        {"appended, the table grown over it",
         WithTail(FSigned, smuggled, TEntryLength::LeavesTailOut)},
        {"a second entry", Changed(WithTail(FSigned, secondEntry, TEntryLength::LeavesTailOut),
                                   [&](TImage& AImage) { SetEntryLength(AImage, entryEnd); })},
        {"inside the signed data's outer SEQUENCE",
         Changed(
             WithTail(FSigned, smuggled, TEntryLength::CountsTail),
             [&](TImage& AImage) { SetDerLength(AImage, DerLength(AImage) + smuggled.size()); })},
    };
    for (const auto& [name, image] : cases) {
        EXPECT_FALSE(Sound(image)) << name;
    }
}

TEST_F(CertificateTableTest, EntryNotOfItsSignatureIsRefused) {
    const std::size_t table = TableOffset(FSigned);
    const auto entryLength = [&](std::size_t ALength) {
        return Changed(FSigned, [&](TImage& AImage) { SetEntryLength(AImage, ALength); });
    };
    const auto withByte = [&](std::size_t AAt, std::uint8_t AValue) {
        return Changed(FSigned, [&](TImage& AImage) { AImage.at(AAt) = std::byte{AValue}; });
    };
    // The length as osslsigncode writes it, in two bytes after 0x82.
    const TImage derLength(FSigned.begin() + static_cast<std::ptrdiff_t>(table + kDerAt + 1),
                           FSigned.begin() + static_cast<std::ptrdiff_t>(table + kDerAt + 4));
    ASSERT_TRUE(Sound(WithDerLengthWritten(FSigned, derLength)));
    const TCases cases = {
        {"dwLength short of the DER data", entryLength(SignatureEnd(FSigned) - 1)},
        {"dwLength 0", entryLength(0)},
        {"dwLength within the entry's header", entryLength(7)},
        {"dwLength beyond the table", entryLength(TableSize(FSigned) + 8)},
        {"revision 1",
         Changed(FSigned, [&](TImage& AImage) { PutU16(AImage, table + 4, 0x0100); })},
        {"an X.509 certificate",
         Changed(FSigned, [&](TImage& AImage) { PutU16(AImage, table + 6, 0x0001); })},
        {"a SET, not a SEQUENCE", withByte(table + kDerAt, 0x31)},
        {"an indefinite length", withByte(table + kDerAt + 1, 0x80)},
        {"a length with a leading zero byte",
         WithDerLengthWritten(FSigned,
                              {std::byte{0x83}, std::byte{0x00}, derLength[1], derLength[2]})},
        {"DER data beyond the entry",
         Changed(FSigned, [](TImage& AImage) { SetDerLength(AImage, DerLength(AImage) + 8); })},
        // The last byte of the content type: 1.2.840.113549.1.7.1 is plain data.
        {"another content type", withByte(table + kDerAt + 4 + 10, 0x01)},
    };
    for (const auto& [name, image] : cases) {
        EXPECT_FALSE(Sound(image)) << name;
    }
}

TEST_F(CertificateTableTest, TableOutOfPlaceIsRefused) {
    const std::size_t table = TableOffset(FSigned);
    const auto cutTo = [&](std::size_t ASize) {
        return TImage(FSigned.begin(), FSigned.begin() + static_cast<std::ptrdiff_t>(ASize));
    };
    const auto followedBy = [&](const TImage& AMore) {
        return Changed(FSigned, [&](TImage& AImage) {
            AImage.insert(AImage.end(), AMore.begin(), AMore.end());
        });
    };
    const TCases cases = {
        {"past the end of the file",
         Changed(FSigned, [](TImage& AImage) { SetTableSize(AImage, TableSize(AImage) + 8); })},
        {"starting at the end of the file",
         Changed(FSigned, [](TImage& AImage) { SetTableOffset(AImage, AImage.size()); })},
        {"cut short by a byte", cutTo(FSigned.size() - 1)},
        {"cut short in the DER data", cutTo(table + SignatureEnd(FSigned) / 2)},
        {"followed by data", followedBy(Bytes("after the table"))},
        {"followed by zero bytes", followedBy(Zeros(8))},
        {"followed by the file again", followedBy(FSigned)},
        {"not on an 8-byte boundary", Changed(FSigned,
                                              [&](TImage& AImage) {
                                                  AImage.insert(AImage.begin() + table, 4,
                                                                std::byte{0});
                                                  SetTableOffset(AImage, table + 4);
                                              })},
        // The headers count sections up to the table's first bytes.
        {"inside the section table",
         Changed(FSigned,
                 [&](TImage& AImage) {
                     const std::size_t sections = (table - SectionTableAt(AImage)) / 40 + 1;
                     PutU16(AImage, SectionCountAt(AImage), static_cast<std::uint16_t>(sections));
                 })},
    };
    for (const auto& [name, image] : cases) {
        EXPECT_FALSE(Sound(image)) << name;
    }
}

TEST_F(CertificateTableTest, WhatIsNoSignedPeFileIsRefused) {
    const TCases cases = {
        {"an unsigned PE file", PeFile("pe32plus.exe")},
        {"no certificate table", Changed(FSigned,
                                         [](TImage& AImage) {
                                             SetTableOffset(AImage, 0);
                                             SetTableSize(AImage, 0);
                                         })},
        {"this test program", ImageFile("/proc/self/exe")},
        {"nothing", TImage()},
        {"MZ alone", Bytes("MZ")},
    };
    for (const auto& [name, image] : cases) {
        EXPECT_FALSE(Sound(image)) << name;
    }
}

TEST_F(CertificateTableTest, UnsoundHeadersAreRefused) {
    for (const TImage& signed_ : {FSigned, FSigned32}) {
        SCOPED_TRACE(IsPe32Plus(signed_) ? "PE32+" : "PE32");
        const auto u16 = [&](std::size_t AAt, std::uint16_t AValue) {
            return Changed(signed_, [&](TImage& AImage) { PutU16(AImage, AAt, AValue); });
        };
        const auto u32 = [&](std::size_t AAt, std::uint32_t AValue) {
            return Changed(signed_, [&](TImage& AImage) { PutU32(AImage, AAt, AValue); });
        };
        const std::size_t pe = PeHeadersAt(signed_);
        const std::size_t directoriesEnd = SecurityEntryAt(signed_) + 8;
        const TCases cases = {
            {"no MZ", u16(0, 0x4D5A)},
            {"PE headers inside the DOS header", u32(0x3C, 0x20)},
            {"PE headers past the end of the file",
             u32(0x3C, static_cast<std::uint32_t>(signed_.size()))},
            {"PE headers at 4 GiB", u32(0x3C, 0xFFFFFFF8)},
            {"no PE signature", u32(pe, 0x01004550)},
            {"a ROM image's magic", u16(OptionalHeaderAt(signed_), 0x107)},
            {"4 data directories", u32(DirectoryCountAt(signed_), 4)},
            {"17 data directories", u32(DirectoryCountAt(signed_), 17)},
            {"17 data directories and room for them",
             Changed(u32(DirectoryCountAt(signed_), 17),
                     [](TImage& AImage) {
                         const std::size_t at = OptionalHeaderSizeAt(AImage);
                         PutU16(AImage, at, static_cast<std::uint16_t>(U16At(AImage, at) + 8));
                     })},
            {"PE headers over the DOS header", WithPeHeadersAt4(signed_)},
            {"an optional header too short for its directories",
             u16(OptionalHeaderSizeAt(signed_),
                 static_cast<std::uint16_t>(directoriesEnd - OptionalHeaderAt(signed_)))},
        };
        for (const auto& [name, image] : cases) {
            EXPECT_FALSE(Sound(image)) << name;
        }
        for (std::size_t size = 0; size <= SectionTableAt(signed_); ++size) {
            EXPECT_FALSE(Sound(TImage(signed_.begin(), signed_.begin() + size)))
                << "cut to " << size << " bytes";
        }
    }
}

TEST_F(CertificateTableTest, ReadsTheHeadersAndTheTableOnly) {
    // The Windows build reads through the handle it holds: the sections are none of its business.
    const std::size_t headersEnd = SizeOfHeaders(FSigned);
    const std::size_t table = TableOffset(FSigned);
    ASSERT_LT(headersEnd, table);
    TRecordingReader reader(FSigned);
    EXPECT_TRUE(CertificateTableIsSound(std::cref(reader)));
    ASSERT_FALSE(reader.Reads().empty());
    std::size_t total = 0;
    for (const auto& [at, size] : reader.Reads()) {
        EXPECT_TRUE(at + size <= headersEnd || at >= table) << size << " bytes at " << at;
        total += size;
    }
    // The table once, and the one byte that shows it ends the file.
    EXPECT_LE(total, headersEnd + TableSize(FSigned) + 1);

    // A table that claims gigabytes is refused before it is read.
    TRecordingReader huge(
        Changed(FSigned, [](TImage& AImage) { SetTableSize(AImage, 0xFFFFFFF8); }));
    EXPECT_FALSE(CertificateTableIsSound(std::cref(huge)));
    for (const auto& [at, size] : huge.Reads()) {
        EXPECT_LE(size, kMaxCertificateTableSize) << size << " bytes at " << at;
    }

    const TReadAt raising = [](std::int64_t, std::span<std::byte>) -> std::size_t {
        throw std::runtime_error("read failed");
    };
    EXPECT_THROW(CertificateTableIsSound(raising), std::runtime_error);
}

}  // namespace
}  // namespace korvane
