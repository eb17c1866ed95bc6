// The program as its package lays it out: installed with `cmake --install` into a root-owned
// prefix, then run from there by an unprivileged user, who can write nowhere but in their own
// directories.

#include <dlfcn.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::RunTarget;
using test::ReadFile;
using test::SignFile;
using test::SourceDir;
using test::TChildProcess;
using test::TNginx;
using test::TTempDir;
using test::TUser;
using test::WaitUntil;
using test::WriteFile;
using ::testing::Contains;
using ::testing::HasSubstr;

constexpr const char* kSetpriv = "/usr/bin/setpriv";

struct stat Lstat(const fs::path& APath) {
    struct stat status {};
    if (::lstat(APath.c_str(), &status) != 0) {
        ADD_FAILURE() << "no " << APath;
    }
    return status;
}

// Every file and directory below `ARoot`, relative to it.
std::set<std::string> Tree(const fs::path& ARoot) {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(ARoot)) {
        entries.insert(fs::relative(entry.path(), ARoot).string());
    }
    return entries;
}

// The value of `AKey` in the [Desktop Entry] group of the desktop entry `AFile`.
std::string DesktopEntryValue(const fs::path& AFile, const std::string& AKey) {
    std::ifstream stream(AFile);
    bool inGroup = false;
    for (std::string line; std::getline(stream, line);) {
        if (line.starts_with('[')) {
            inGroup = line == "[Desktop Entry]";
        } else if (inGroup && line.starts_with(AKey + "=")) {
            return line.substr(AKey.size() + 1);
        }
    }
    return {};
}

// The file that the system loads for `ASoname`: the build embedded it as a payload.
fs::path SystemLibrary(const char* ASoname) {
    const std::unique_ptr<void, int (*)(void*)> handle(::dlopen(ASoname, RTLD_LAZY), ::dlclose);
    link_map* map = nullptr;
    if (!handle || ::dlinfo(handle.get(), RTLD_DI_LINKMAP, &map) != 0) {
        return {};
    }
    return fs::canonical(map->l_name);
}

// A directory of the system's temporary directory given to `AUser`, as their home would be.
class TUserDir {
public:
    explicit TUserDir(TUser AUser) {
        if (::chown(FDir.Path().c_str(), AUser.Uid, AUser.Gid) != 0) {
            throw std::runtime_error("cannot give " + FDir.Path().string() + " away");
        }
    }
    const fs::path& Path() const { return FDir.Path(); }
    fs::path operator/(std::string_view AName) const { return FDir / AName; }

private:
    TTempDir FDir;
};

class InstalledProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "installing into a root-owned prefix and running the program as "
                            "another user needs root";
        }
        FUser = test::OtherUser();
        if (!FUser) {
            GTEST_SKIP() << "there is no user nobody to run the program as";
        }
        ASSERT_EQ(::chmod(FPrefix.Path().c_str(), 0755), 0);
        TChildProcess install({KORVANE_CMAKE_COMMAND, "--install", KORVANE_BUILD_DIR, "--prefix",
                               FPrefix.Path().string()});
        ASSERT_EQ(install.Wait(120s), std::optional<int>(0)) << "cmake --install failed";
        // In the shipped program's place, the same program built to download from the tests'
        // server. Removed first: cmake --install takes a file of the same time for the same file.
        fs::remove(Program());
        TChildProcess replace({KORVANE_CMAKE_COMMAND, "--install", KORVANE_BUILD_DIR, "--prefix",
                               FPrefix.Path().string(), "--component", "korvane_program_under_test"});
        ASSERT_EQ(replace.Wait(120s), std::optional<int>(0)) << "cmake --install failed";
    }

    fs::path Program() const { return FPrefix / "bin" / "KorvaneDownloader"; }

    TTempDir FPrefix;
    std::optional<TUser> FUser;
};

TEST_F(InstalledProgram, LaysOutTheProgramItsDesktopEntryAndItsDocuments) {
    const std::set<std::string> expected{
        "bin",
        "bin/KorvaneDownloader",
        "share",
        "share/applications",
        "share/applications/KorvaneDownloader.desktop",
        "share/doc",
        "share/doc/korvane-downloader",
        "share/doc/korvane-downloader/changelog.gz",
        "share/doc/korvane-downloader/copyright",
        "share/icons",
        "share/icons/hicolor",
        "share/icons/hicolor/16x16",
        "share/icons/hicolor/16x16/apps",
        "share/icons/hicolor/16x16/apps/KorvaneDownloader.png",
        "share/lintian",
        "share/lintian/overrides",
        "share/lintian/overrides/korvane-downloader",
        "share/man",
        "share/man/man1",
        "share/man/man1/KorvaneDownloader.1.gz",
    };
    EXPECT_EQ(Tree(FPrefix.Path()), expected);

    const struct stat program = Lstat(Program());
    EXPECT_TRUE(S_ISREG(program.st_mode));
    EXPECT_EQ(program.st_mode & 07777, 0755u);
    EXPECT_EQ(program.st_uid, 0u);
    EXPECT_EQ(Lstat(FPrefix / "share/applications/KorvaneDownloader.desktop").st_mode & 07777,
              0644u);

    // The desktop starts the program from PATH and finds the icon in the hicolor theme.
    const fs::path entry = FPrefix / "share/applications/KorvaneDownloader.desktop";
    EXPECT_EQ(ReadFile(entry),
              ReadFile(SourceDir().parent_path() / "resources/KorvaneDownloader.desktop"));
    const std::string exec = DesktopEntryValue(entry, "Exec");
    ASSERT_FALSE(exec.empty());
    EXPECT_TRUE(fs::is_regular_file(FPrefix / "bin" / exec)) << "Exec=" << exec;
    const std::string icon = DesktopEntryValue(entry, "Icon");
    ASSERT_FALSE(icon.empty());
    EXPECT_EQ(ReadFile(FPrefix / "share/icons/hicolor/16x16/apps" / (icon + ".png")),
              ReadFile(SourceDir().parent_path() / "resources/KorvaneDownloader.png"))
        << "Icon=" << icon;
}

TEST_F(InstalledProgram, RunsAsAUserWritingOnlyIntoThatUsersDirectories) {
    const TUser user = *FUser;
    const TUserDir home(user);
    const TUserDir temp(user);
    const TUserDir runtime(user);
    ASSERT_EQ(::chmod(runtime.Path().c_str(), 0700), 0);

    const TTempDir served;
    WriteFile(served / "KorvaneSetup.exe", ReadFile(SourceDir() / "support" / "demo-setup.sh"));
    SignFile(served / "KorvaneSetup.exe");
    const TNginx server(TNginx::OnDownloadPort(served.Path()));

    const std::set<std::string> installed = Tree(FPrefix.Path());
    const passwd* const account = ::getpwuid(user.Uid);
    ASSERT_NE(account, nullptr);
    const std::string name = account->pw_name;
    // The user's real, effective and saved ids, and no group of root's: setpriv drops them all
    // before the program starts. An empty XDG_DATA_HOME leaves the data directory to HOME.
    TChildProcess program(
        {kSetpriv, "--reuid=" + std::to_string(user.Uid), "--regid=" + std::to_string(user.Gid),
         "--clear-groups", Program().string()},
        {{"HOME", home.Path().string()},
         {"USER", name},
         {"LOGNAME", name},
         {"TMPDIR", temp.Path().string()},
         {"XDG_DATA_HOME", ""},
         {"XDG_CONFIG_HOME", ""},
         {"XDG_CACHE_HOME", ""},
         {"XDG_RUNTIME_DIR", runtime.Path().string()},
         {"QT_QPA_PLATFORM", "offscreen"}});

    EXPECT_EQ(program.Wait(60s), std::optional<int>(0));
    EXPECT_THAT(server.AccessLog(), Contains(HasSubstr(" 200 \"GET /KorvaneSetup.exe HTTP/1.1\"")));

    // The stand-in setup program records its start into TMPDIR, as the user it ran as.
    const fs::path record = temp / "KorvaneSetup.started";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(record); }, 10s));
    EXPECT_EQ(ReadFile(record), "1\n/LANG=fr\n");
    EXPECT_EQ(Lstat(record).st_uid, user.Uid);

    const fs::path target = RunTarget(temp.Path(), user.Uid);
    EXPECT_EQ(ReadFile(target), ReadFile(served / "KorvaneSetup.exe"));
    EXPECT_EQ(Lstat(target).st_uid, user.Uid);

    const fs::path data = home / ".local/share/korvane";
    const struct stat dataDir = Lstat(data);
    EXPECT_TRUE(S_ISDIR(dataDir.st_mode));
    EXPECT_EQ(dataDir.st_uid, user.Uid);
    EXPECT_EQ(dataDir.st_mode & 07777, 0700u);
    for (const char* soname : {"libssl.so.3", "libcrypto.so.3"}) {
        const struct stat payload = Lstat(data / soname);
        EXPECT_TRUE(S_ISREG(payload.st_mode)) << soname;
        EXPECT_EQ(payload.st_uid, user.Uid) << soname;
        const fs::path system = SystemLibrary(soname);
        ASSERT_FALSE(system.empty()) << soname << " is not on this system";
        EXPECT_EQ(ReadFile(data / soname), ReadFile(system)) << soname;
    }

    EXPECT_EQ(Tree(FPrefix.Path()), installed) << "nothing is written beside the program";
}

}  // namespace
}  // namespace korvane
