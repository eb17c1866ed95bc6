// ExtractLibrary: the embedded OpenSSL libraries written beside the executable, unless present.

#include <dlfcn.h>
#include <link.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QResource>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "download/TlsLibraries.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

std::string ResourceBytes(const QString& AName) {
    const QResource resource(AName);
    EXPECT_TRUE(resource.isValid()) << AName.toStdString();
    const QByteArray bytes = resource.uncompressedData();
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

// The file the system loads for `ASoname`.
fs::path SystemLibraryPath(const char* ASoname) {
    void* handle = ::dlopen(ASoname, RTLD_LAZY);
    if (handle == nullptr) {
        return {};
    }
    link_map* map = nullptr;
    ::dlinfo(handle, RTLD_DI_LINKMAP, &map);
    fs::path path = map != nullptr ? fs::canonical(map->l_name) : fs::path();
    ::dlclose(handle);
    return path;
}

// Makes file accesses of this thread those of an ordinary user, so that permissions apply to
// root as well.
class TUnprivilegedFileAccess {
public:
    TUnprivilegedFileAccess() {
        if (::geteuid() == 0) {
            ::setfsuid(kNobody);
            FActive = ::setfsuid(static_cast<uid_t>(-1)) == kNobody;
        } else {
            FActive = true;
        }
    }
    TUnprivilegedFileAccess(const TUnprivilegedFileAccess&) = delete;
    TUnprivilegedFileAccess& operator=(const TUnprivilegedFileAccess&) = delete;
    ~TUnprivilegedFileAccess() {
        if (::geteuid() == 0) {
            ::setfsuid(0);
        }
    }
    bool Active() const { return FActive; }

private:
    static constexpr uid_t kNobody = 65534;
    bool FActive = false;
};

TEST(ExtractLibrary, WritesTheLibrariesTheProgramWasBuiltWith) {
    const TTempDir dir;
    ExtractLibrary(dir.Path(), "libssl");
    ExtractLibrary(dir.Path(), "libcrypto");

    const std::string ssl = ReadFile(dir / "libssl.so.3");
    const std::string crypto = ReadFile(dir / "libcrypto.so.3");
    EXPECT_EQ(ssl, ResourceBytes(":/LIBSSL"));
    EXPECT_EQ(crypto, ResourceBytes(":/LIBCRYPTO"));
    EXPECT_NE(ssl, crypto);
    EXPECT_EQ(ssl.substr(0, 4),
              "\x7f"
              "ELF");

    // The very files libcurl runs with.
    const fs::path loadedSsl = SystemLibraryPath("libssl.so.3");
    const fs::path loadedCrypto = SystemLibraryPath("libcrypto.so.3");
    ASSERT_FALSE(loadedSsl.empty());
    ASSERT_FALSE(loadedCrypto.empty());
    EXPECT_EQ(ssl, ReadFile(loadedSsl));
    EXPECT_EQ(crypto, ReadFile(loadedCrypto));
}

TEST(ExtractLibrary, FindsThePayloadWhateverTheCaseOfTheName) {
    const TTempDir dir;
    ExtractLibrary(dir.Path(), "LibSsl");
    EXPECT_EQ(ReadFile(dir / "LibSsl.so.3"), ResourceBytes(":/LIBSSL"));
}

TEST(ExtractLibrary, KeepsAnExistingFileWhateverItHolds) {
    const TTempDir dir;
    WriteFile(dir / "libssl.so.3", "another version");
    struct stat before {};
    ASSERT_EQ(::stat((dir / "libssl.so.3").c_str(), &before), 0);

    ExtractLibrary(dir.Path(), "libssl");

    struct stat after {};
    ASSERT_EQ(::stat((dir / "libssl.so.3").c_str(), &after), 0);
    EXPECT_EQ(ReadFile(dir / "libssl.so.3"), "another version");
    EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST(ExtractLibrary, KeepsALinkToAFile) {
    const TTempDir dir;
    const TTempDir elsewhere;
    WriteFile(elsewhere / "libssl.so.3", "installed elsewhere");
    fs::create_symlink(elsewhere / "libssl.so.3", dir / "libssl.so.3");

    ExtractLibrary(dir.Path(), "libssl");

    EXPECT_TRUE(fs::is_symlink(dir / "libssl.so.3"));
    EXPECT_EQ(ReadFile(elsewhere / "libssl.so.3"), "installed elsewhere");
}

TEST(ExtractLibrary, ReplacesADanglingLinkWithoutWritingThroughIt) {
    const TTempDir dir;
    const TTempDir elsewhere;
    fs::create_symlink(elsewhere / "missing.so", dir / "libcrypto.so.3");

    ExtractLibrary(dir.Path(), "libcrypto");

    EXPECT_FALSE(fs::is_symlink(dir / "libcrypto.so.3"));
    EXPECT_EQ(ReadFile(dir / "libcrypto.so.3"), ResourceBytes(":/LIBCRYPTO"));
    EXPECT_FALSE(fs::exists(elsewhere / "missing.so"));
}

TEST(ExtractLibrary, ADirectoryInTheWayRaises) {
    const TTempDir dir;
    fs::create_directory(dir / "libssl.so.3");
    EXPECT_ANY_THROW(ExtractLibrary(dir.Path(), "libssl"));
    EXPECT_TRUE(fs::is_empty(dir / "libssl.so.3"));
}

TEST(ExtractLibrary, ReadOnlyDirectoryRaisesAndWritesNothing) {
    const TTempDir dir;
    fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec |
                                    fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    {
        const TUnprivilegedFileAccess unprivileged;
        if (!unprivileged.Active()) {
            GTEST_SKIP() << "cannot give up root's file access in this environment";
        }
        EXPECT_ANY_THROW(ExtractLibrary(dir.Path(), "libssl"));
    }
    fs::permissions(dir.Path(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(ExtractLibrary, AnUnknownLibraryRaises) {
    const TTempDir dir;
    EXPECT_ANY_THROW(ExtractLibrary(dir.Path(), "libfoo"));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

}  // namespace
}  // namespace korvane
