// The Linux operating-system layer, checked with real files, locks, links and users: the program
// later starts the file it wrote, so what the layer refuses matters as much as what it does.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "platform/UniqueFd.h"
#include "support/SystemError.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::UniqueFd;
using test::ThrowErrno;

struct stat Lstat(const fs::path& APath) {
    struct stat status {};
    if (::lstat(APath.c_str(), &status) != 0) {
        ThrowErrno("cannot examine " + APath.string());
    }
    return status;
}

unsigned Mode(const fs::path& APath) {
    return Lstat(APath).st_mode & 07777;
}

std::span<const std::byte> Bytes(std::string_view AText) {
    return std::as_bytes(std::span(AText));
}

using TSnapshot = std::map<std::string, std::tuple<mode_t, ino_t, uid_t, off_t>>;

// Every entry below `ADirectory`, links not followed, in enough detail to see any change.
TSnapshot Snapshot(const fs::path& ADirectory) {
    TSnapshot entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(ADirectory)) {
        const struct stat status = Lstat(entry.path());
        entries[entry.path().string()] = {status.st_mode, status.st_ino, status.st_uid,
                                          status.st_size};
    }
    return entries;
}

// `ASnapshot` without `AEntry` and what lies below it.
TSnapshot Without(TSnapshot ASnapshot, const fs::path& AEntry) {
    std::erase_if(ASnapshot, [&](const auto& AItem) {
        const fs::path path(AItem.first);
        return path == AEntry || path.string().starts_with((AEntry / "").string());
    });
    return ASnapshot;
}

// Holds `APath` through an open file description of its own, as another instance would.
UniqueFd Hold(const fs::path& APath) {
    UniqueFd fd(::open(APath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        ThrowErrno("cannot hold " + APath.string());
    }
    return fd;
}

// True when nobody holds `APath`: a fresh open file description takes the lock at once.
bool IsFree(const fs::path& APath) {
    const UniqueFd fd(::open(APath.c_str(), O_RDONLY | O_CLOEXEC));
    return fd && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
}

TEST(UserTempDirectory, IsTmpdirElseTmp) {
    {
        const test::TScopedEnvironment tmpdir("TMPDIR", "/somewhere/else");
        EXPECT_EQ(platform::UserTempDirectory(), fs::path("/somewhere/else/"));
    }
    const test::TScopedEnvironment tmpdir("TMPDIR", "");
    EXPECT_EQ(platform::UserTempDirectory(), fs::path("/tmp/"));
    ::unsetenv("TMPDIR");
    EXPECT_EQ(platform::UserTempDirectory(), fs::path("/tmp/"));
}

// A temporary directory shared as /tmp is: sticky, and open to all.
class SharedTemp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::chmod(FShared.Path().c_str(), 01777), 0); }

    test::TTempDir FShared;
};

TEST_F(SharedTemp, EachRunFolderIsNewAndTheUsersAloneWhateverHoldsTheGuessableName) {
    const std::optional<test::TUser> other = test::OtherUser();
    const fs::path guessable = test::GuessableTempDir(FShared.Path(), ::getuid());
    for (const std::string taken : {"nothing", "a directory", "a file", "a link"}) {
        SCOPED_TRACE(taken);
        if (taken == "a directory") {
            ASSERT_EQ(::mkdir(guessable.c_str(), 0777), 0);
        } else if (taken == "a file") {
            test::WriteFile(guessable, "taken");
        } else if (taken == "a link") {
            fs::create_directory_symlink(FShared / "elsewhere", guessable);
        }
        if (taken != "nothing" && other) {
            // Another user's, as it would be in a shared /tmp.
            ASSERT_EQ(::lchown(guessable.c_str(), other->Uid, other->Gid), 0);
        }
        const TSnapshot before = Snapshot(FShared.Path());

        const platform::TRunFolder first = platform::CreateRunFolder(FShared.Path());
        const platform::TRunFolder second = platform::CreateRunFolder(FShared.Path());

        EXPECT_NE(first.Path(), second.Path());
        EXPECT_EQ(test::RunFolders(FShared.Path(), ::getuid()),
                  (std::vector<fs::path>{std::min(first.Path(), second.Path()),
                                         std::max(first.Path(), second.Path())}));
        for (const platform::TRunFolder* folder : {&first, &second}) {
            const struct stat made = Lstat(folder->Path());
            EXPECT_TRUE(S_ISDIR(made.st_mode));
            EXPECT_EQ(made.st_mode & 07777, 0700u);
            EXPECT_EQ(made.st_uid, ::getuid());
            EXPECT_TRUE(fs::is_empty(folder->Path()));
        }
        EXPECT_EQ(Without(Without(Snapshot(FShared.Path()), first.Path()), second.Path()), before)
            << "what stood there stays as it was";

        fs::remove_all(first.Path());
        fs::remove_all(second.Path());
        fs::remove(guessable);
    }
}

TEST_F(SharedTemp, ARunFolderMustHoldTheSetupProgramAlone) {
    const platform::TRunFolder folder = platform::CreateRunFolder(FShared.Path());
    EXPECT_NO_THROW(folder.RequireOnly("KorvaneSetup.exe"));
    test::WriteFile(folder.Path() / "KorvaneSetup.exe", "setup");
    EXPECT_NO_THROW(folder.RequireOnly("KorvaneSetup.exe"));
    for (const char* planted : {"libc.so.6", ".hidden", "KorvaneSetup.exe.d"}) {
        test::WriteFile(folder.Path() / planted, "planted");
        EXPECT_THROW(folder.RequireOnly("KorvaneSetup.exe"), std::system_error) << planted;
        fs::remove(folder.Path() / planted);
    }
    fs::create_directory(folder.Path() / "lib");
    EXPECT_THROW(folder.RequireOnly("KorvaneSetup.exe"), std::system_error);
}

TEST_F(SharedTemp, EarlierRunFoldersGoUnlessTheyRunOrAreNotTheUsers) {
    const std::string prefix = "korvane-" + std::to_string(::getuid()) + "-";
    const test::TTempDir elsewhere;
    test::WriteFile(elsewhere / "precious", "precious");

    // A failed run's folder, with a link and a folder in it; one whose program still runs there.
    const fs::path earlier = platform::CreateRunFolder(FShared.Path()).Path();
    test::WriteFile(earlier / "KorvaneSetup.exe", "setup");
    fs::create_symlink(elsewhere / "precious", earlier / "link");
    fs::create_directory(earlier / "extracted");
    test::WriteFile(earlier / "extracted" / "data", "data");
    const fs::path running = platform::CreateRunFolder(FShared.Path()).Path();
    test::TChildProcess setup({"/bin/sh", "-c", "cd \"$0\" && exec sleep 60", running.string()});
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return fs::read_symlink("/proc/" + std::to_string(setup.Pid()) + "/cwd") == running;
        },
        10s));

    // What only looks like one: a link to a folder, a file, a folder open to others, a folder of
    // another user.
    fs::create_directory_symlink(elsewhere.Path(), FShared / (prefix + "linked"));
    test::WriteFile(FShared / (prefix + "a-file"), "file");
    ASSERT_EQ(::mkdir((FShared / (prefix + "opened")).c_str(), 0755), 0);
    const std::optional<test::TUser> other = test::OtherUser();
    const fs::path theirs = FShared / (prefix + "theirs");
    if (other) {
        ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
        ASSERT_EQ(::chown(theirs.c_str(), other->Uid, other->Gid), 0);
    }
    const TSnapshot kept = Without(Snapshot(FShared.Path()), earlier);

    platform::RemoveEarlierRunFolders(FShared.Path());

    EXPECT_FALSE(fs::exists(fs::symlink_status(earlier)));
    EXPECT_EQ(Snapshot(FShared.Path()), kept);
    EXPECT_EQ(test::ReadFile(elsewhere / "precious"), "precious");
    setup.Kill();
    platform::RemoveEarlierRunFolders(FShared.Path());
    EXPECT_FALSE(fs::exists(running)) << "gone once its program has ended";
}

TEST(HoldDownloadLock, OneHolderAtATimeInAPlaceOfTheUsersAlone) {
    const test::TTempDir runtime;
    const test::TTempDir data;
    const test::TScopedEnvironment runtimeDir("XDG_RUNTIME_DIR", runtime.Path().string());
    const test::TScopedEnvironment dataHome("XDG_DATA_HOME", data.Path().string());
    ASSERT_EQ(::chmod(runtime.Path().c_str(), 0700), 0);
    {
        const platform::TDownloadLock held = platform::HoldDownloadLock();
        EXPECT_FALSE(IsFree(runtime / "korvane-download.lock"));
        EXPECT_THROW(platform::HoldDownloadLock(), std::system_error);
    }
    EXPECT_TRUE(IsFree(runtime / "korvane-download.lock"));

    // A runtime directory that others may enter is not the user's alone: the data directory is.
    ASSERT_EQ(::chmod(runtime.Path().c_str(), 0711), 0);
    const platform::TDownloadLock held = platform::HoldDownloadLock();
    EXPECT_FALSE(IsFree(data / "korvane" / "korvane-download.lock"));
    EXPECT_THROW(platform::HoldDownloadLock(), std::system_error);
}

TEST(UserDataDirectory, MakesWhatIsMissingPrivateAndLeavesWhatExists) {
    const test::TTempDir root;
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);
    const test::TScopedEnvironment home("HOME", (root / "home").string());
    ASSERT_EQ(::mkdir((root / "home").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root / "home/.local").c_str(), 0755), 0);

    {
        const test::TScopedEnvironment data("XDG_DATA_HOME", (root / "data/deeper").string());
        EXPECT_EQ(platform::UserDataDirectory(), root / "data/deeper/korvane");
    }
    const std::optional<std::string> ignored[] = {std::nullopt, "", "relative"};
    for (const std::optional<std::string>& data : ignored) {
        const test::TScopedEnvironment variable("XDG_DATA_HOME", data.value_or(""));
        if (!data) {
            ::unsetenv("XDG_DATA_HOME");
        }
        EXPECT_EQ(platform::UserDataDirectory(), root / "home/.local/share/korvane")
            << "XDG_DATA_HOME=" << data.value_or("(unset)");
    }

    for (const char* made : {"data", "data/deeper", "data/deeper/korvane", "home/.local/share",
                             "home/.local/share/korvane"}) {
        const struct stat status = Lstat(root / made);
        EXPECT_TRUE(S_ISDIR(status.st_mode)) << made;
        EXPECT_EQ(status.st_mode & 07777, 0700u) << made;
    }
    EXPECT_EQ(Mode(root.Path()), 0755u);
    EXPECT_EQ(Mode(root / "home/.local"), 0755u);
}

TEST(UserDataDirectory, ThrowsWithoutAnAbsoluteDirectory) {
    const test::TScopedEnvironment data("XDG_DATA_HOME", "relative/data");
    const test::TScopedEnvironment home("HOME", "");
    EXPECT_THROW(platform::UserDataDirectory(), std::system_error);
    ::unsetenv("HOME");
    EXPECT_THROW(platform::UserDataDirectory(), std::system_error);
    ::setenv("HOME", "relative/home", 1);
    EXPECT_THROW(platform::UserDataDirectory(), std::system_error);
}

TEST(CreatePrivateFile, CreatesOrEmptiesAnOwnFileAndHoldsItUntilClosed) {
    const test::TTempDir dir;
    const fs::path fresh = dir / "fresh";
    {
        const platform::TFile file = platform::CreatePrivateFile(fresh);
        const struct stat status = Lstat(fresh);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        EXPECT_EQ(status.st_uid, ::getuid());
        EXPECT_FALSE(IsFree(fresh));
        EXPECT_THROW(platform::CreatePrivateFile(fresh), std::system_error);
    }
    EXPECT_TRUE(IsFree(fresh));

    for (const std::string content : {"", "an earlier download"}) {
        const fs::path old = dir / "old";
        test::WriteFile(old, content);
        ASSERT_EQ(::chmod(old.c_str(), 0644), 0);
        platform::TFile file = platform::CreatePrivateFile(old);
        EXPECT_EQ(Lstat(old).st_size, 0) << content;
        EXPECT_EQ(Mode(old), 0600u) << content;
        EXPECT_FALSE(IsFree(old));
        file.Close();
        EXPECT_TRUE(IsFree(old));
    }
}

TEST(CreatePrivateFile, RefusesAHeldFileALinkOrASecondNameTouchingNothing) {
    const test::TTempDir dir;
    for (const char* name : {"held", "target", "named"}) {
        test::WriteFile(dir / name, name);
    }
    fs::create_symlink(dir / "target", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    fs::create_hard_link(dir / "named", dir / "alias");
    const TSnapshot before = Snapshot(dir.Path());
    {
        const UniqueFd other = Hold(dir / "held");
        EXPECT_THROW(platform::CreatePrivateFile(dir / "held"), std::system_error);
    }
    for (const char* name : {"link", "dangling", "named"}) {
        EXPECT_THROW(platform::CreatePrivateFile(dir / name), std::system_error) << name;
    }
    EXPECT_EQ(Snapshot(dir.Path()), before);
    for (const char* name : {"held", "target", "named"}) {
        EXPECT_EQ(test::ReadFile(dir / name), name);
        EXPECT_TRUE(IsFree(dir / name)) << name;  // a refusal keeps no hold
    }
}

TEST(CreatePrivateFile, RefusesAnotherUsersFile) {
    const std::optional<test::TUser> nobody = test::OtherUser();
    if (!nobody) {
        GTEST_SKIP() << "a file of another user needs root to make";
    }
    const test::TTempDir dir;
    const fs::path theirs = dir / "theirs";
    test::WriteFile(theirs, "theirs");
    ASSERT_EQ(::chown(theirs.c_str(), nobody->Uid, nobody->Gid), 0);
    const TSnapshot before = Snapshot(dir.Path());
    EXPECT_THROW(platform::CreatePrivateFile(theirs), std::system_error);
    EXPECT_EQ(Snapshot(dir.Path()), before);
    EXPECT_EQ(test::ReadFile(theirs), "theirs");
    EXPECT_TRUE(IsFree(theirs));
}

TEST(TFile, ReadsBackWhatWasWrittenFromAnyOffset) {
    const test::TTempDir dir;
    platform::TFile file = platform::CreatePrivateFile(dir / "file");
    const std::string content = test::Pattern(70000);
    file.Write(Bytes(std::string_view(content).substr(0, 1000)));
    file.Write(Bytes(std::string_view(content).substr(1000)));
    EXPECT_EQ(test::ReadFile(dir / "file"), content);

    std::vector<std::byte> buffer(content.size() + 10);
    const auto text = [&](std::size_t ACount) {
        return std::string(reinterpret_cast<const char*>(buffer.data()), ACount);
    };
    for (const std::size_t offset : {0, 1, 65536, 69999}) {
        const std::size_t count = file.ReadAt(static_cast<std::int64_t>(offset), buffer);
        EXPECT_EQ(count, content.size() - offset) << offset;
        EXPECT_EQ(text(count), content.substr(offset)) << offset;
    }
    EXPECT_EQ(file.ReadAt(65000, std::span(buffer).first(3000)), 3000u);
    EXPECT_EQ(text(3000), content.substr(65000, 3000));
    EXPECT_EQ(file.ReadAt(70000, buffer), 0u);
    EXPECT_EQ(file.ReadAt(80000, buffer), 0u);
}

TEST(TFile, MakeExecutableChangesTheOpenFileAndRefusesASecondName) {
    const test::TTempDir dir;
    const fs::path name = dir / "setup";
    platform::TFile file = platform::CreatePrivateFile(name);
    // The name leads to another file by now: the open one is what becomes executable.
    fs::rename(name, dir / "moved");
    test::WriteFile(name, "other");
    ASSERT_EQ(::chmod(name.c_str(), 0600), 0);
    file.MakeExecutable();
    EXPECT_EQ(Mode(dir / "moved"), 0700u);
    EXPECT_EQ(Mode(name), 0600u);

    platform::TFile linked = platform::CreatePrivateFile(dir / "linked");
    fs::create_hard_link(dir / "linked", dir / "alias");
    EXPECT_THROW(linked.MakeExecutable(), std::system_error);
    EXPECT_EQ(Mode(dir / "linked"), 0600u);
}

TEST(TFile, CloseGivesUpTheHoldAndIsHarmlessAgain) {
    const test::TTempDir dir;
    const fs::path name = dir / "file";
    std::optional<platform::TFile> first(platform::CreatePrivateFile(name));
    first->Close();
    EXPECT_TRUE(IsFree(name));
    EXPECT_NO_THROW(first->Close());

    // Likely given the descriptor number that the first one had: its end must not close it.
    platform::TFile second = platform::CreatePrivateFile(name);
    first.reset();
    EXPECT_FALSE(IsFree(name));
    second.Write(Bytes("still open"));
    EXPECT_EQ(test::ReadFile(name), "still open");
}

}  // namespace
}  // namespace korvane
