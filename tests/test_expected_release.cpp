// Which release a signed file says it is, in a minisign trusted comment or a Windows version
// record made by the resource compiler, and which of those claims the program admits.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "download/ExpectedRelease.h"
#include "download/VersionRecord.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

TReleaseVersion Version(std::uint16_t A, std::uint16_t B, std::uint16_t C, std::uint16_t D) {
    return TReleaseVersion{{A, B, C, D}};
}

const TExpectedRelease kUnderFloor{.FileName = "KorvaneSetup.exe",
                                   .MinVersion = Version(2, 4, 0, 0)};
const TExpectedRelease kWithoutFloor{.FileName = "KorvaneSetup.exe", .MinVersion = std::nullopt};

TEST(ReleaseVersion, ReadsFourNumbersAndComparesThemOneByOne) {
    EXPECT_EQ(ParseReleaseVersion("2.4.1.0"), Version(2, 4, 1, 0));
    EXPECT_EQ(ParseReleaseVersion("0.0.0.0"), Version(0, 0, 0, 0));
    EXPECT_EQ(ParseReleaseVersion("65535.65535.65535.65535"), Version(65535, 65535, 65535, 65535));
    EXPECT_GT(Version(2, 10, 0, 0), Version(2, 9, 0, 0));
    EXPECT_GT(Version(2, 4, 0, 1), Version(2, 4, 0, 0));
    EXPECT_LT(Version(1, 65535, 65535, 65535), Version(2, 0, 0, 0));

    for (const std::string_view malformed :
         {"", "2", "2.4", "2.4.0", "2.4.0.0.0", "2.4.0.", ".2.4.0", "2..4.0", "2.4.x.0",
          "2.4.0.65536", "2.4.0.000001", "+2.4.0.0", "-2.4.0.0", " 2.4.0.0", "2.4.0.0 ",
          "2.4.0.0\n", "v2.4.0.0", "2,4,0,0", "0x2.4.0.0"}) {
        EXPECT_EQ(ParseReleaseVersion(malformed), std::nullopt) << '"' << malformed << '"';
    }
}

TEST(TrustedComment, NamesTheFileAndItsVersionInFieldsOfAnyOrder) {
    // What minisign writes by default, from the tool itself.
    const test::TTempDir directory;
    const fs::path file = directory / "KorvaneSetup.exe";
    test::WriteFile(file, "setup");
    test::SignFile(file, "publisher", {});
    const std::string signature = test::ReadFile(fs::path(file) += ".minisig");
    const std::size_t commentAt = signature.find("\ntrusted comment: ") + 18;
    const std::string minisignDefault =
        signature.substr(commentAt, signature.find('\n', commentAt) - commentAt);
    ASSERT_NE(minisignDefault.find("\thashed"), std::string::npos) << minisignDefault;

    const auto claim = ClaimOfTrustedComment(minisignDefault);
    ASSERT_TRUE(claim);
    EXPECT_EQ(claim->FileName, "KorvaneSetup.exe");
    EXPECT_EQ(claim->Version, std::nullopt);

    const auto release = ClaimOfTrustedComment(
        "version:2.4.1.0\tfile:KorvaneSetup.exe\ttimestamp:1700000000\tchannel:stable:x");
    ASSERT_TRUE(release);
    EXPECT_EQ(release->FileName, "KorvaneSetup.exe");
    EXPECT_EQ(release->Version, Version(2, 4, 1, 0));

    // Not a field of its own: the name and the version are only what their fields say.
    const auto free = ClaimOfTrustedComment("Korvane demo setup program");
    ASSERT_TRUE(free);
    EXPECT_EQ(free->FileName, "");
    EXPECT_EQ(ClaimOfTrustedComment("file:KorvaneSetup.exe version:2.4.1.0")->FileName,
              "KorvaneSetup.exe version:2.4.1.0");
}

TEST(TrustedComment, RefusesANameOrVersionGivenTwiceOrAVersionThatDoesNotRead) {
    for (const std::string_view refused :
         {"file:KorvaneSetup.exe\tfile:KorvaneUpdate.exe",
          "file:KorvaneSetup.exe\tfile:KorvaneSetup.exe",
          "file:KorvaneSetup.exe\tversion:2.4.1.0\tversion:2.4.1.0",
          "file:KorvaneSetup.exe\tversion:2.4", "file:KorvaneSetup.exe\tversion:",
          "file:KorvaneSetup.exe\tversion", "file:KorvaneSetup.exe\tversion:2.4.1.0 "}) {
        EXPECT_EQ(ClaimOfTrustedComment(refused), std::nullopt) << '"' << refused << '"';
    }
}

TEST(ExpectedRelease, AdmitsTheNamedFileAtOrAboveTheFloor) {
    const auto claim = [](std::string AName, std::optional<TReleaseVersion> AVersion) {
        return std::optional<TReleaseClaim>(TReleaseClaim{std::move(AName), AVersion});
    };
    EXPECT_TRUE(kUnderFloor.Admits(claim("KorvaneSetup.exe", Version(2, 4, 0, 0))));
    EXPECT_TRUE(kUnderFloor.Admits(claim("KorvaneSetup.exe", Version(2, 10, 0, 0))));
    EXPECT_FALSE(kUnderFloor.Admits(claim("KorvaneSetup.exe", Version(2, 3, 65535, 65535))));
    EXPECT_FALSE(kUnderFloor.Admits(claim("KorvaneSetup.exe", std::nullopt)));
    EXPECT_FALSE(kUnderFloor.Admits(claim("KorvaneUpdate.exe", Version(2, 5, 0, 0))));
    EXPECT_FALSE(kUnderFloor.Admits(std::nullopt));

    EXPECT_TRUE(kWithoutFloor.Admits(claim("KorvaneSetup.exe", std::nullopt)));
    EXPECT_TRUE(kWithoutFloor.Admits(claim("KorvaneSetup.exe", Version(0, 0, 0, 1))));
    // The name is exact: the file system's case rules are the target system's business.
    EXPECT_FALSE(kWithoutFloor.Admits(claim("korvanesetup.exe", std::nullopt)));
    EXPECT_FALSE(kWithoutFloor.Admits(claim("", std::nullopt)));
    EXPECT_FALSE(kWithoutFloor.Admits(std::nullopt));

    ASSERT_TRUE(ExpectedRelease("KorvaneSetup.exe", "2.4.0.0"));
    EXPECT_EQ(ExpectedRelease("KorvaneSetup.exe", "2.4.0.0")->MinVersion, Version(2, 4, 0, 0));
    EXPECT_EQ(ExpectedRelease("KorvaneSetup.exe", "")->MinVersion, std::nullopt);
    EXPECT_EQ(ExpectedRelease("KorvaneSetup.exe", "2.4"), std::nullopt);
}

// The claim of the version record of the PE file `AName` that the build made.
std::optional<TReleaseClaim> ClaimOfFile(const std::string& AName) {
    const std::string image = test::ReadFile(fs::path(KORVANE_TEST_PE_DIR) / AName);
    return ClaimOfVersionRecord(ReadAtBytes(std::as_bytes(std::span(image))));
}

TEST(VersionRecord, GivesTheNameOfTheFirstTranslationAndTheFileVersion) {
    const auto release = ClaimOfFile("release.exe");
    ASSERT_TRUE(release);
    EXPECT_EQ(release->FileName, "KorvaneSetup.exe");
    EXPECT_EQ(release->Version, Version(2, 4, 1, 0));
    // Signed, the record is where it was.
    const auto signedRelease = ClaimOfFile("release-signed.exe");
    ASSERT_TRUE(signedRelease);
    EXPECT_EQ(signedRelease->FileName, "KorvaneSetup.exe");
    EXPECT_EQ(signedRelease->Version, Version(2, 4, 1, 0));

    const auto twoLanguages = ClaimOfFile("two-languages.exe");
    ASSERT_TRUE(twoLanguages);
    EXPECT_EQ(twoLanguages->FileName, "KorvaneSetup.exe");

    // Without a FILEVERSION statement the resource compiler writes a version of zeros, which no
    // floor admits.
    const auto unversioned = ClaimOfFile("unversioned.exe");
    ASSERT_TRUE(unversioned);
    EXPECT_EQ(unversioned->FileName, "KorvaneSetup.exe");
    EXPECT_EQ(unversioned->Version, Version(0, 0, 0, 0));
    EXPECT_TRUE(kWithoutFloor.Admits(unversioned));
    EXPECT_FALSE(kUnderFloor.Admits(unversioned));
}

TEST(VersionRecord, IsNoneWhenMissingOrUnreadable) {
    EXPECT_EQ(ClaimOfFile("pe32plus.exe"), std::nullopt) << "a program without a record";
    EXPECT_EQ(ClaimOfFile("spoiled.exe"), std::nullopt) << "a fixed part that does not read";

    // Cut anywhere, the record never reads as something else.
    const std::string image = test::ReadFile(fs::path(KORVANE_TEST_PE_DIR) / "release.exe");
    for (std::size_t size = 0; size < image.size(); size += 7) {
        const auto claim =
            ClaimOfVersionRecord(ReadAtBytes(std::as_bytes(std::span(image).first(size))));
        if (claim) {
            EXPECT_EQ(claim->FileName, "KorvaneSetup.exe") << size;
            EXPECT_EQ(claim->Version, Version(2, 4, 1, 0)) << size;
        }
    }
}

}  // namespace
}  // namespace korvane
