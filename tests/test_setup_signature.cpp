// The setup program's signature, checked against keys and signatures made by the minisign tool:
// what holds, what is refused, and how the signed bytes are read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "download/SetupSignature.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kComment = "KorvaneSetup 1.0";
constexpr std::string_view kContent = "#!/bin/sh\necho installing\n";

// The base64 line of the test key pair `AName` ("publisher" or "other").
std::string PublicKeyLine(const std::string& AName) {
    const std::string text = test::ReadFile(test::KeysDir() / (AName + ".pub"));
    const std::size_t start = text.find('\n') + 1;
    return text.substr(start, text.find('\n', start) - start);
}

TPublisherKey Key(const std::string& AName) {
    const std::optional<TPublisherKey> key = ParsePublisherKey(PublicKeyLine(AName));
    if (!key) {
        throw std::runtime_error("cannot parse the test key " + AName);
    }
    return *key;
}

// Hands `AContent` over at most `APiece` bytes at a time, recording how it was asked.
class TReader {
public:
    TReader(std::string_view AContent, std::size_t APiece) : FRest(AContent), FPiece(APiece) {}
    std::size_t operator()(std::span<std::byte> ABuffer) {
        ++FCalls;
        FLargestAsk = std::max(FLargestAsk, ABuffer.size());
        const std::size_t count = std::min({FRest.size(), FPiece, ABuffer.size()});
        std::memcpy(ABuffer.data(), FRest.data(), count);
        FRest.remove_prefix(count);
        return count;
    }
    int Calls() const { return FCalls; }
    std::size_t LargestAsk() const { return FLargestAsk; }
    bool AtEnd() const { return FRest.empty(); }

private:
    std::string_view FRest;
    std::size_t FPiece;
    int FCalls = 0;
    std::size_t FLargestAsk = 0;
};

bool Holds(const TPublisherKey& AKey, std::string_view ASignature, std::string_view AContent) {
    TReader reader(AContent, 4096);
    return SignedTrustedComment(AKey, ASignature, std::ref(reader)).has_value();
}

// The lines of a signature file without their line ends, and back.
std::vector<std::string> Lines(std::string_view AText) {
    std::vector<std::string> lines;
    for (std::size_t end; (end = AText.find('\n')) != std::string_view::npos;) {
        lines.emplace_back(AText.substr(0, end));
        AText.remove_prefix(end + 1);
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& ALines, std::string_view AEnd = "\n") {
    std::string text;
    for (const std::string& line : ALines) {
        text += line + std::string(AEnd);
    }
    return text;
}

class SetupSignatureTest : public ::testing::Test {
protected:
    // A signature of `AContent` by `minisign -S` with the key pair `AKeyName`.
    std::string Sign(std::string_view AContent, const std::string& AKeyName = "publisher",
                     std::vector<std::string> AOptions = {"-t", std::string(kComment)}) {
        const fs::path file = FDir / ("signed" + std::to_string(++FCount));
        const fs::path signature = fs::path(file) += ".minisig";
        test::WriteFile(file, AContent);
        test::SignFile(file, AKeyName, AOptions);
        return test::ReadFile(signature);
    }

    const TPublisherKey FPublisher = Key("publisher");
    test::TTempDir FDir;
    int FCount = 0;
};

TEST_F(SetupSignatureTest, GenuineSignaturesHold) {
    const std::string signature = Sign(kContent);
    EXPECT_TRUE(Holds(FPublisher, signature, kContent));
    EXPECT_TRUE(Holds(FPublisher, Sign(""), ""));
    // minisign's own trusted comment, with its tabs.
    EXPECT_TRUE(Holds(FPublisher, Sign(kContent, "publisher", {}), kContent));
    EXPECT_TRUE(Holds(FPublisher, Joined(Lines(signature), "\r\n"), kContent));

    // The untrusted comment is not signed: any text holds, up to the size limit.
    std::vector<std::string> lines = Lines(signature);
    lines[0] += std::string(kMaxSignatureSize - signature.size(), 'x');
    ASSERT_EQ(Joined(lines).size(), kMaxSignatureSize);
    EXPECT_TRUE(Holds(FPublisher, Joined(lines), kContent));
    lines[0] += 'x';
    EXPECT_FALSE(Holds(FPublisher, Joined(lines), kContent));
}

TEST_F(SetupSignatureTest, ReadsTheFileInPieces) {
    const std::string content = test::Pattern(6 << 20);
    const std::string signature = Sign(content);
    TReader reader(content, 1000);
    EXPECT_TRUE(SignedTrustedComment(FPublisher, signature, std::ref(reader)));
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_GT(reader.Calls(), 1);
    EXPECT_LE(reader.LargestAsk(), content.size() / 8);

    const auto raising = [](std::span<std::byte>) -> std::size_t {
        throw std::runtime_error("read failed");
    };
    EXPECT_THROW(SignedTrustedComment(FPublisher, signature, raising), std::runtime_error);
}

TEST_F(SetupSignatureTest, RefusesWhatThePublisherDidNotSign) {
    const std::string signature = Sign(kContent);
    std::string changed(kContent);
    changed[12] ^= 1;
    EXPECT_FALSE(Holds(FPublisher, signature, changed));
    EXPECT_FALSE(Holds(FPublisher, signature, kContent.substr(1)));
    EXPECT_FALSE(Holds(FPublisher, signature, ""));

    std::vector<std::string> lines = Lines(signature);
    lines[2].back() ^= 1;
    EXPECT_FALSE(Holds(FPublisher, Joined(lines), kContent));

    const TPublisherKey other = Key("other");
    EXPECT_FALSE(Holds(FPublisher, Sign(kContent, "other"), kContent));
    EXPECT_FALSE(Holds(other, signature, kContent));
    // The publisher's key id does not make another key the publisher's.
    EXPECT_FALSE(Holds(TPublisherKey{FPublisher.KeyId, other.Key}, signature, kContent));
    // Nor does the right key hold for a signature that names another.
    EXPECT_FALSE(Holds(TPublisherKey{other.KeyId, FPublisher.Key}, signature, kContent));

    const std::string legacy = Sign(kContent, "publisher", {"-l"});
    EXPECT_FALSE(Holds(FPublisher, legacy, kContent));

    // A signature that cannot hold whatever the file holds is refused before anything is read.
    for (const std::string& refused : {Sign(kContent, "other"), legacy, std::string()}) {
        TReader reader(kContent, 4096);
        EXPECT_FALSE(SignedTrustedComment(FPublisher, refused, std::ref(reader)));
        EXPECT_EQ(reader.Calls(), 0);
    }
}

TEST_F(SetupSignatureTest, RefusesMalformedSignatureFiles) {
    const std::string signature = Sign(kContent);
    const std::vector<std::string> lines = Lines(signature);
    ASSERT_EQ(lines.size(), 4u);
    const auto refused = [&](std::size_t ALine, const std::string& AText) {
        std::vector<std::string> edited = lines;
        edited[ALine] = AText;
        return !Holds(FPublisher, Joined(edited), kContent);
    };
    // The last base64 digit of the global signature has bits to spare: setting one decodes to the
    // same bytes, but is not how anyone writes them.
    constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string unusedBits = lines[3];
    unusedBits[85] = kDigits[kDigits.find(unusedBits[85]) ^ 1];

    EXPECT_FALSE(Holds(FPublisher, "", kContent));
    EXPECT_FALSE(Holds(FPublisher, signature.substr(0, signature.size() - 1), kContent));
    EXPECT_FALSE(Holds(FPublisher, signature.substr(0, signature.size() / 2), kContent));
    EXPECT_FALSE(Holds(FPublisher, signature + "x", kContent));
    EXPECT_FALSE(Holds(FPublisher, signature + "\n", kContent));
    EXPECT_FALSE(Holds(FPublisher, signature + lines[3] + "\n", kContent));
    EXPECT_TRUE(refused(3, unusedBits));
    EXPECT_TRUE(refused(3, lines[3].substr(0, 87)));
    EXPECT_TRUE(refused(1, lines[1] + "="));
    EXPECT_TRUE(refused(1, lines[1].substr(0, 99) + "A"));
    EXPECT_TRUE(refused(1, lines[1] + " "));
    EXPECT_TRUE(refused(1, "\t" + lines[1]));
    EXPECT_TRUE(refused(1, lines[1].substr(0, 50) + "\n" + lines[1].substr(50)));
    EXPECT_TRUE(refused(0, lines[0] + "\r\r"));
    EXPECT_TRUE(refused(0, lines[0] + "\rx"));
    EXPECT_TRUE(refused(0, lines[0] + std::string(1, '\0')));
    EXPECT_TRUE(refused(0, "Untrusted comment: signature"));
    EXPECT_TRUE(refused(2, "trusted comment:" + lines[2].substr(17)));
    std::string loneCr = signature;
    loneCr[loneCr.find('\n')] = '\r';
    EXPECT_FALSE(Holds(FPublisher, loneCr, kContent));
}

TEST(ParsePublisherKey, TakesOnlyAPublicKeyLine) {
    const std::string line = PublicKeyLine("publisher");
    const std::optional<TPublisherKey> key = ParsePublisherKey(line);
    ASSERT_TRUE(key.has_value());
    // The key id as the .pub file's comment shows it: a little-endian number in hexadecimal,
    // without leading zeros.
    std::uint64_t id = 0;
    for (auto byte = key->KeyId.rbegin(); byte != key->KeyId.rend(); ++byte) {
        id = id << 8 | *byte;
    }
    const std::string file = test::ReadFile(test::KeysDir() / "publisher.pub");
    constexpr std::string_view kKeyComment = "untrusted comment: minisign public key ";
    ASSERT_TRUE(file.starts_with(kKeyComment));
    EXPECT_EQ(std::stoull(file.substr(kKeyComment.size(), file.find('\n')), nullptr, 16), id);
    EXPECT_NE(Key("other").Key, key->Key);

    std::string badCharacter = line;
    badCharacter[30] = '*';
    std::string signatureAlgorithm = line;
    signatureAlgorithm[1] = 'U';  // "RU" decodes to "ED"
    for (const std::string& mangled : {std::string(), line.substr(1), line + "A", line + "=",
                                       line + "\n", " " + line, badCharacter, signatureAlgorithm}) {
        EXPECT_FALSE(ParsePublisherKey(mangled).has_value()) << '"' << mangled << '"';
    }
}

}  // namespace
}  // namespace korvane
