// The system layer on Windows, under Wine: the temporary directory, the run's own folder and the
// download lock, the unshared target file that goes unless sealed, the shell's start of a held
// program with its parameters in its folder, and the browser's address.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
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
#include <utility>
#include <vector>

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
        // Anyone else cannot take the file or delete it meanwhile.
        EXPECT_THROW((void)platform::CreatePrivateFile(target), std::system_error);
        EXPECT_FALSE(DeleteFileW(target.c_str()));
        EXPECT_FALSE(OthersCanOpen(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    }
    EXPECT_FALSE(fs::exists(target)) << "a download that never completed leaves nothing to run";
}

// The access that the folder's own access list gives, ACE by ACE, and whether it inherits any.
struct TFolderAccess {
    bool Protected = false;
    std::vector<std::pair<std::wstring, ACCESS_MASK>> Allowed;  // SID as text, mask
    std::size_t Entries = 0;
};

TFolderAccess AccessOf(const fs::path& AFolder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    TFolderAccess access;
    if (GetNamedSecurityInfoW(AFolder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot read the folder's access list");
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    access.Protected = (control & SE_DACL_PROTECTED) != 0;
    access.Entries = dacl != nullptr ? dacl->AceCount : 0;
    for (DWORD i = 0; i < access.Entries; ++i) {
        void* ace = nullptr;
        if (GetAce(dacl, i, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            LPWSTR sid = nullptr;
            ConvertSidToStringSidW(&allowed->SidStart, &sid);
            access.Allowed.emplace_back(sid != nullptr ? sid : L"?", allowed->Mask);
            std::wprintf(L"ACE %d flags %x %ls %lx\n", (int)static_cast<ACE_HEADER*>(ace)->AceType,
                         (unsigned)static_cast<ACE_HEADER*>(ace)->AceFlags, sid,
                         (unsigned long)allowed->Mask);
            LocalFree(sid);
        }
    }
    LocalFree(descriptor);
    return access;
}

// Wine's ntdll says so.
bool UnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring CurrentUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::array<std::byte, 256> buffer{};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer.data(), buffer.size(), &size);
    CloseHandle(token);
    LPWSTR sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid);
    const std::wstring text = sid != nullptr ? sid : L"";
    LocalFree(sid);
    return text;
}

TEST(WindowsRunFolder, IsNewUnguessableAndForTheUserSystemAndAdministratorsAlone) {
    const TTempDir temp;
    const platform::TRunFolder first = platform::CreateRunFolder(temp.Path());
    const platform::TRunFolder second = platform::CreateRunFolder(temp.Path());
    EXPECT_NE(first.Path(), second.Path());
    for (const platform::TRunFolder* folder : {&first, &second}) {
        const std::wstring name = folder->Path().filename().wstring();
        EXPECT_EQ(folder->Path().parent_path(), temp.Path());
        ASSERT_EQ(name.size(), 8u + 32u) << folder->Path();
        EXPECT_EQ(name.substr(0, 8), L"Korvane-");
        EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", 8), std::wstring::npos);
        EXPECT_TRUE(fs::is_directory(folder->Path()));
    }
    // Windows gives back the list as it was set; Wine keeps the folder's Unix mode, and gives
    // the user's and SYSTEM's entries from it. Either way nobody else may enter, whatever the
    // temporary folder would have passed on.
    const TFolderAccess access = AccessOf(first.Path());
    const std::wstring user = CurrentUserSid();
    EXPECT_EQ(access.Allowed.size(), access.Entries) << "nothing but entries that allow";
    EXPECT_NE(std::find(access.Allowed.begin(), access.Allowed.end(),
                        std::pair(user, ACCESS_MASK{FILE_ALL_ACCESS})),
              access.Allowed.end());
    for (const auto& [sid, mask] : access.Allowed) {
        EXPECT_TRUE(sid == user || sid == L"S-1-5-18" || sid == L"S-1-5-32-544")
            << std::string(sid.begin(), sid.end()) << " may enter";
    }
    if (!UnderWine()) {
        EXPECT_TRUE(access.Protected) << "inherits nothing from the temporary folder";
    }
}

TEST(WindowsRunFolder, GoesWhenEmptyAndHoldsTheSetupProgramAlone) {
    const TTempDir temp;
    fs::path emptied;
    fs::path kept;
    {
        const platform::TRunFolder empty = platform::CreateRunFolder(temp.Path());
        emptied = empty.Path();
        const platform::TRunFolder used = platform::CreateRunFolder(temp.Path());
        kept = used.Path();
        std::ofstream(kept / "KorvaneSetup.exe") << "started";
        EXPECT_NO_THROW(used.RequireOnly("KorvaneSetup.exe"));
        EXPECT_NO_THROW(used.RequireOnly("korvanesetup.EXE")) << "names, as Windows reads them";
        std::ofstream(kept / "version.dll") << "planted";
        EXPECT_THROW(used.RequireOnly("KorvaneSetup.exe"), std::system_error);
        fs::remove(kept / "version.dll");
    }
    EXPECT_FALSE(fs::exists(emptied)) << "a failed run leaves no folder";
    EXPECT_TRUE(fs::exists(kept / "KorvaneSetup.exe")) << "a started program stays";
}

TEST(WindowsRunFolder, EarlierFoldersGoUnlessTheirProgramStillRuns) {
    const TTempDir temp;
    // Folders that earlier runs left: held here only while they are filled.
    const platform::TRunFolder earlierRun = platform::CreateRunFolder(temp.Path());
    const fs::path earlier = earlierRun.Path();
    std::ofstream(earlier / "KorvaneSetup.exe") << "ended";
    std::ofstream(earlier / "left.tmp") << "left";
    fs::create_directory(earlier / "extracted");
    const platform::TRunFolder runningRun = platform::CreateRunFolder(temp.Path());
    const fs::path running = runningRun.Path();
    std::ofstream(running / "KorvaneSetup.exe") << "running";
    std::ofstream(running / "extracted.tmp") << "its own";
    // A running program is open without delete sharing, as Windows holds its image.
    const HANDLE image = CreateFileW((running / "KorvaneSetup.exe").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(image, INVALID_HANDLE_VALUE);
    const fs::path lookalike = temp.Path() / L"Korvane-not-a-run-folder";
    fs::create_directory(lookalike);
    std::ofstream(lookalike / "KorvaneSetup.exe") << "not ours";

    platform::RemoveEarlierRunFolders(temp.Path());

    EXPECT_FALSE(fs::exists(earlier));
    EXPECT_EQ(ReadWhole(running / "extracted.tmp"), "its own");
    EXPECT_EQ(ReadWhole(lookalike / "KorvaneSetup.exe"), "not ours");
    CloseHandle(image);
    platform::RemoveEarlierRunFolders(temp.Path());
    EXPECT_FALSE(fs::exists(running)) << "gone once its program has ended";
}

TEST(WindowsDownloadLock, OneHolderAtATime) {
    std::optional<platform::TDownloadLock> held(platform::HoldDownloadLock());
    EXPECT_THROW(platform::HoldDownloadLock(), std::system_error);
    held.reset();
    EXPECT_NO_THROW(platform::HoldDownloadLock());
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
    // In its own folder.
    EXPECT_EQ(ReadWhole(FRecord.wstring() + L".directory"), FDir.Path().string() + "\n");
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
