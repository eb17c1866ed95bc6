// The system layer on Windows, under Wine: the temporary directory, the unshared target file that
// goes unless sealed, the shell's start of a held program with its parameters, and the browser's
// address.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Platform.h"
#include "support/Files.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

using test::TTempDir;

std::string ReadWhole(const fs::path& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// What the file at `APath` holds once something has written it, waiting up to 30 s for it.
std::optional<std::string> WaitForContent(const fs::path& APath) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ignored;
        if (fs::file_size(APath, ignored) > 0 && !ignored) {
            return ReadWhole(APath);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

std::span<const std::byte> Bytes(std::string_view AText) {
    return std::as_bytes(std::span(AText.data(), AText.size()));
}

TEST(WindowsPlatform, TheTemporaryDirectoryIsTheUsersOwnWithItsSeparator) {
    const TTempDir dir;
    // The system's rule: TMP names the user's temporary directory, with or without a separator.
    const std::wstring own = dir.Path().wstring();
    wchar_t saved[MAX_PATH + 1] = {};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH + 1) != 0;
    SetEnvironmentVariableW(L"TMP", own.c_str());
    const std::wstring directory = platform::UserTempDirectory().wstring();
    SetEnvironmentVariableW(L"TMP", hadTmp ? saved : nullptr);
    EXPECT_EQ(directory, own + L"\\");
}

// Opens `APath` as another program would, with `AAccess` and `AShare`; true when it could.
bool OthersCanOpen(const fs::path& APath, DWORD AAccess, DWORD AShare) {
    const HANDLE handle =
        CreateFileW(APath.c_str(), AAccess, AShare, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

TEST(WindowsPlatform, ATargetIsSharedWithNobodyAndGoesWhenClosedUnsealed) {
    const TTempDir dir;
    const fs::path target = dir.Path() / "KorvaneSetup.exe";
    std::ofstream(target) << "left by an earlier run";
    {
        platform::TFile file = platform::CreatePrivateFile(target);
        EXPECT_EQ(fs::file_size(target), 0u) << "an earlier file is emptied";
        file.Write(Bytes("half"));
        // A second instance, or anyone else, cannot take the file or delete it meanwhile.
        EXPECT_THROW((void)platform::CreatePrivateFile(target), std::system_error);
        platform::DeleteUnlessHeld(target);
        EXPECT_TRUE(fs::exists(target));
        EXPECT_FALSE(OthersCanOpen(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    }
    EXPECT_FALSE(fs::exists(target)) << "a download that never completed leaves nothing to run";
}

TEST(WindowsPlatform, ASealedFileStaysAndOthersMayOnlyReadItWhileItIsHeld) {
    const TTempDir dir;
    const fs::path target = dir.Path() / "KorvaneSetup.exe";
    {
        platform::TFile file = platform::CreatePrivateFile(target);
        file.Write(Bytes("whole"));
        file.Seal();
        std::array<std::byte, 8> buffer{};
        ASSERT_EQ(file.ReadAt(0, buffer), 5u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 5), "whole");
        EXPECT_THROW(file.Write(Bytes("more")), std::system_error) << "read-only once sealed";
        EXPECT_TRUE(OthersCanOpen(target, GENERIC_READ, FILE_SHARE_READ));
        EXPECT_FALSE(OthersCanOpen(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_FALSE(OthersCanOpen(target, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE));
        EXPECT_FALSE(DeleteFileW(target.c_str()));
    }
    EXPECT_EQ(ReadWhole(target), "whole");
}

TEST(WindowsPlatform, ADiscardedFileIsGoneSealedOrNot) {
    const TTempDir dir;
    for (const bool sealed : {false, true}) {
        const fs::path target = dir.Path() / "KorvaneSetup.exe";
        platform::TFile file = platform::CreatePrivateFile(target);
        file.Write(Bytes("refused"));
        if (sealed) {
            file.Seal();
        }
        file.Discard();
        EXPECT_FALSE(fs::exists(target)) << (sealed ? "sealed" : "unsealed");
    }
}

TEST(WindowsPlatform, AFileReadsBackFromAnyOffsetWithoutMovingItsWritePosition) {
    const TTempDir dir;
    platform::TFile file = platform::CreatePrivateFile(dir.Path() / "file");
    file.Resize(10);  // announced length first, as a download does
    file.Write(Bytes("abcdef"));
    std::array<std::byte, 4> buffer{};
    ASSERT_EQ(file.ReadAt(2, buffer), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 4), "cdef");
    file.Write(Bytes("gh"));
    file.Resize(8);  // cut back to what arrived
    EXPECT_EQ(file.ReadAt(6, buffer), 2u) << "fewer bytes only at the end of the file";
    file.Seal();
    file.Close();
    EXPECT_EQ(ReadWhole(dir.Path() / "file"), "abcdefgh");
}

class WindowsShell : public testing::Test {
protected:
    WindowsShell() { SetEnvironmentVariableW(L"KORVANE_TEST_RECORD", FRecord.c_str()); }
    ~WindowsShell() override { SetEnvironmentVariableW(L"KORVANE_TEST_RECORD", nullptr); }

    static fs::path TestDirectory() {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        return fs::path(path).parent_path();
    }

    // `AContent` in a sealed target, as a download leaves it.
    platform::TFile SealedTarget(const std::string& AContent) const {
        platform::TFile file = platform::CreatePrivateFile(FTarget);
        file.Write(Bytes(AContent));
        file.Seal();
        return file;
    }

    const TTempDir FDir;
    const fs::path FRecord = FDir.Path() / "record.txt";
    const fs::path FTarget = FDir.Path() / "KorvaneSetup.exe";
};

TEST_F(WindowsShell, StartsTheHeldProgramWithItsParameters) {
    const std::string program = ReadWhole(TestDirectory() / KORVANE_RECORD_COMMAND_LINE);
    ASSERT_TRUE(platform::StartProgram({}, SealedTarget(program), u"/LANG=fr"));
    const std::optional<std::string> commandLine = WaitForContent(FRecord);
    ASSERT_TRUE(commandLine) << "the program never ran";
    EXPECT_NE(commandLine->find("KorvaneSetup.exe"), std::string::npos) << *commandLine;
    EXPECT_EQ(commandLine->substr(commandLine->find_last_not_of('\n') - 8), " /LANG=fr\n")
        << *commandLine;
    EXPECT_EQ(ReadWhole(FTarget), program) << "the started file stays";
}

TEST_F(WindowsShell, RefusesAFileThatIsNoProgram) {
    EXPECT_FALSE(platform::StartProgram({}, SealedTarget("no program"), u"/LANG=fr"));
    EXPECT_TRUE(OthersCanOpen(FTarget, GENERIC_WRITE, 0)) << "let go of, whatever the outcome";
}

// The browser that Wine hands addresses to is a registry setting of the prefix: for this test, a
// script that records them into KORVANE_TEST_BROWSER_RECORD. It runs on the Linux side and sees
// the environment that Wine started with, so the test takes the file's Linux path from there too;
// Wine shows it on drive Z:.
class WindowsBrowser : public testing::Test {
protected:
    static constexpr wchar_t kKey[] = L"Software\\Wine\\WineBrowser";
    static constexpr wchar_t kScript[] = L"" KORVANE_TEST_SOURCE_DIR L"/record-address.sh";

    WindowsBrowser() {
        RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Browsers", REG_SZ, kScript, sizeof(kScript));
        std::error_code ignored;
        fs::remove(FRecord, ignored);
    }
    ~WindowsBrowser() override {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"Browsers");
        std::error_code ignored;
        fs::remove(FRecord, ignored);
    }

    static fs::path RecordFile() {
        wchar_t path[MAX_PATH] = {};
        GetEnvironmentVariableW(L"KORVANE_TEST_BROWSER_RECORD", path, MAX_PATH);
        return fs::path(L"Z:" + std::wstring(path));
    }

    const fs::path FRecord = RecordFile();
};

TEST_F(WindowsBrowser, GetsTheAddressAsItIs) {
    constexpr std::u16string_view kAddress =
        u"https://" KORVANE_TEST_DOWNLOAD_HOST u"/KorvaneSetup.exe";
    EXPECT_TRUE(platform::OpenAddress({}, kAddress));
    const std::optional<std::string> opened = WaitForContent(FRecord);
    ASSERT_TRUE(opened) << "the browser was never asked";
    EXPECT_EQ(*opened, std::string(kAddress.begin(), kAddress.end()) + "\n");
}

}  // namespace
}  // namespace korvane
