// ExtractLibrary: the embedded OpenSSL libraries written beside the executable, unless present.

#include <dlfcn.h>
#include <link.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "download/TlsLibraries.h"
#include "download/curl/CarriedTlsLibraries.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

std::string Text(std::span<const std::byte> ABytes) {
    return {reinterpret_cast<const char*>(ABytes.data()), ABytes.size()};
}

// The bytes of the carried library `AName`.
std::string CarriedBytes(std::string_view AName) {
    for (const TTlsPayload& library : CarriedTlsLibraries()) {
        if (library.Name == AName) {
            return Text(library.Bytes);
        }
    }
    ADD_FAILURE() << "no carried library " << AName;
    return {};
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
    ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libssl");
    ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libcrypto");

    const std::string ssl = ReadFile(dir / "libssl.so.3");
    const std::string crypto = ReadFile(dir / "libcrypto.so.3");
    EXPECT_EQ(ssl, CarriedBytes("libssl"));
    EXPECT_EQ(crypto, CarriedBytes("libcrypto"));
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

TEST(ExtractLibrary, WritesAnyLibraryOfItsTableWholeUnderItsEnding) {
    // Several write pieces long, and not a whole number of them.
    std::vector<std::byte> bytes(200'003);
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] = static_cast<std::byte>(at % 251);
    }
    const TTlsPayload table[] = {{"libone", ".so.7", bytes}, {"libtwo", ".dll", {}}};
    const TTempDir dir;

    ExtractLibrary(table, dir.Path(), "libone");
    ExtractLibrary(table, dir.Path(), "libtwo");

    EXPECT_EQ(ReadFile(dir / "libone.so.7"), Text(bytes));
    EXPECT_EQ(ReadFile(dir / "libtwo.dll"), "");
    EXPECT_ANY_THROW(ExtractLibrary({}, dir.Path(), "libone"));
}

TEST(ExtractLibrary, FindsThePayloadWhateverTheCaseOfTheName) {
    const TTempDir dir;
    ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "LibSsl");
    EXPECT_EQ(ReadFile(dir / "LibSsl.so.3"), CarriedBytes("libssl"));
}

TEST(ExtractLibrary, KeepsAnExistingFileWhateverItHolds) {
    const TTempDir dir;
    WriteFile(dir / "libssl.so.3", "another version");
    struct stat before {};
    ASSERT_EQ(::stat((dir / "libssl.so.3").c_str(), &before), 0);

    ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libssl");

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

    ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libssl");

    EXPECT_TRUE(fs::is_symlink(dir / "libssl.so.3"));
    EXPECT_EQ(ReadFile(elsewhere / "libssl.so.3"), "installed elsewhere");
}

TEST(ExtractLibrary, ReplacesADanglingLinkWithoutWritingThroughIt) {
    const TTempDir dir;
    const TTempDir elsewhere;
    fs::create_symlink(elsewhere / "missing.so", dir / "libcrypto.so.3");

    ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libcrypto");

    EXPECT_FALSE(fs::is_symlink(dir / "libcrypto.so.3"));
    EXPECT_EQ(ReadFile(dir / "libcrypto.so.3"), CarriedBytes("libcrypto"));
    EXPECT_FALSE(fs::exists(elsewhere / "missing.so"));
}

TEST(ExtractLibrary, ADirectoryInTheWayRaises) {
    const TTempDir dir;
    fs::create_directory(dir / "libssl.so.3");
    EXPECT_ANY_THROW(ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libssl"));
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
        EXPECT_ANY_THROW(ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libssl"));
    }
    fs::permissions(dir.Path(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(ExtractLibrary, AnUnknownLibraryRaises) {
    const TTempDir dir;
    EXPECT_ANY_THROW(ExtractLibrary(CarriedTlsLibraries(), dir.Path(), "libfoo"));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

}  // namespace
}  // namespace korvane
