// Windows implementation of the operating-system layer.
// rand_s is declared only on request.
#define _CRT_RAND_S
// <windows.h> first: the other system headers build on it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Platform.h"

namespace korvane::platform {

namespace {

[[noreturn]] void ThrowLastError(const std::string& AWhat) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), AWhat);
}

// The system takes texts as UTF-16 strings with a terminating NUL.
std::wstring ToWide(std::u16string_view AText) {
    return std::wstring(AText.begin(), AText.end());
}

class TFileHandle {
public:
    explicit TFileHandle(HANDLE AHandle) : FHandle(AHandle) {}
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    ~TFileHandle() { Close(); }

    HANDLE Get() const { return FHandle; }
    bool IsOpen() const { return FHandle != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE AHandle) {
        Close();
        FHandle = AHandle;
    }
    bool Close() {
        return !IsOpen() || ::CloseHandle(std::exchange(FHandle, INVALID_HANDLE_VALUE)) != 0;
    }

private:
    HANDLE FHandle;
};

}  // namespace

class TFile::TImpl {
public:
    TImpl(HANDLE AHandle, std::filesystem::path APath) : Handle(AHandle), Path(std::move(APath)) {}

    TFileHandle Handle;
    const std::filesystem::path Path;
    bool Sealed = false;
};

namespace {

// The shell's "open", on behalf of `AOwner`, in `AWorkingDirectory` unless that is empty; it
// reports success with a value above 32.
bool ShellOpen(TWindowHandle AOwner, const std::wstring& AFile, const std::wstring& AParameters,
               const std::wstring& AWorkingDirectory = {}) {
    const HINSTANCE result =
        ::ShellExecuteW(reinterpret_cast<HWND>(AOwner), L"open", AFile.c_str(), AParameters.c_str(),
                        AWorkingDirectory.empty() ? nullptr : AWorkingDirectory.c_str(), SW_SHOW);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

// Checks that `AHandle`, just opened at `APath`, is a file on disk and not a device or a pipe.
void RequireDiskFile(HANDLE AHandle, const std::filesystem::path& APath) {
    if (::GetFileType(AHandle) != FILE_TYPE_DISK) {
        throw std::system_error(std::make_error_code(std::errc::permission_denied),
                                APath.string() + " is not a file");
    }
}

// Marks the file for deletion when its last handle closes, or withdraws the mark. The handle
// must have been opened with DELETE access.
void SetDeleteOnClose(HANDLE AHandle, bool ADelete, const std::filesystem::path& APath) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = ADelete ? TRUE : FALSE;
    if (::SetFileInformationByHandle(AHandle, FileDispositionInfo, &disposition,
                                     sizeof disposition) == 0) {
        ThrowLastError("cannot set the disposition of " + APath.string());
    }
}

enum class TOnClose { Keep, Delete };

// A new file at `APath`, or the one there emptied, open for reading and writing and shared with
// nobody while it is open.
TFile CreateUnshared(const std::filesystem::path& APath, TOnClose AOnClose) {
    const DWORD deleteAccess = AOnClose == TOnClose::Delete ? DELETE : 0;
    const HANDLE handle = ::CreateFileW(APath.c_str(), GENERIC_READ | GENERIC_WRITE | deleteAccess,
                                        0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError("cannot create " + APath.string());
    }
    auto impl = std::make_unique<TFile::TImpl>(handle, APath);
    RequireDiskFile(handle, APath);
    if (AOnClose == TOnClose::Delete) {
        SetDeleteOnClose(handle, true, APath);
    }
    return TFile(std::move(impl));
}

}  // namespace

std::filesystem::path ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            ThrowLastError("cannot find the executable");
        }
        if (length < buffer.size()) {
            return std::filesystem::path(std::wstring(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path UserTempDirectory() {
    // With its trailing separator, in the buffer the system's maximum path fits.
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0) {
        ThrowLastError("cannot find the temporary directory");
    }
    if (length > MAX_PATH) {
        throw std::system_error(std::make_error_code(std::errc::filename_too_long),
                                "the temporary directory's path is too long");
    }
    return std::filesystem::path(std::wstring(buffer, length));
}

std::filesystem::path UserDataDirectory() {
    PWSTR known = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known);
    const std::unique_ptr<wchar_t, decltype(&::CoTaskMemFree)> owned(known, &::CoTaskMemFree);
    if (FAILED(result)) {
        throw std::system_error(result, std::system_category(), "cannot find the data directory");
    }
    std::filesystem::path directory = std::filesystem::path(known) / L"Korvane";
    std::filesystem::create_directories(directory);
    return directory;
}

namespace {

// Run folders are named "Korvane-" and 32 hexadecimal digits from the system's random source.
constexpr std::wstring_view kRunFolderPrefix = L"Korvane-";

// Frees what the system allocated with LocalAlloc.
struct TLocalFree {
    void operator()(void* AMemory) const { ::LocalFree(AMemory); }
};

// The string form of the current user's SID ("S-1-5-21-...").
std::wstring UserSid() {
    HANDLE token = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
        ThrowLastError("cannot open the process's token");
    }
    const TFileHandle owned(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::byte> buffer(size);
    if (size == 0 || ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) == 0) {
        ThrowLastError("cannot read the process's user");
    }
    LPWSTR text = nullptr;
    if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text) ==
        0) {
        ThrowLastError("cannot spell the process's user");
    }
    const std::unique_ptr<wchar_t, TLocalFree> ownedText(text);
    return text;
}

// A security descriptor that inherits nothing from its parent and gives full control to the user,
// SYSTEM and the Administrators alone, to the folder and whatever comes into it.
std::unique_ptr<void, TLocalFree> UsersOnlyDescriptor() {
    const std::wstring sddl =
        L"D:P(A;OICI;FA;;;" + UserSid() + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                               &descriptor, nullptr) == 0) {
        ThrowLastError("cannot make the run folder's security descriptor");
    }
    return std::unique_ptr<void, TLocalFree>(descriptor);
}

// 32 hexadecimal digits: 128 bits from the system's generator (rand_s asks RtlGenRandom).
std::wstring RandomName() {
    std::wstring name;
    for (int i = 0; i < 4; ++i) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) {
            throw std::system_error(std::make_error_code(std::errc::io_error),
                                    "the system's random source failed");
        }
        wchar_t digits[9] = {};
        ::swprintf(digits, 9, L"%08x", value);
        name += digits;
    }
    return name;
}

// Whether `AName` is that of a run folder: the prefix, then 32 hexadecimal digits.
bool IsRunFolderName(std::wstring_view AName) {
    return AName.size() == kRunFolderPrefix.size() + 32 && AName.starts_with(kRunFolderPrefix) &&
           std::all_of(AName.begin() + kRunFolderPrefix.size(), AName.end(),
                       [](wchar_t ACharacter) { return std::iswxdigit(ACharacter) != 0; });
}

// Calls `AEach` with the find data of each entry of `ADirectory`, "." and ".." left out.
template <typename TEach>
void ForEachEntry(const std::filesystem::path& ADirectory, TEach AEach) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileExW((ADirectory / L"*").c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring_view name(found.cFileName);
        if (name != L"." && name != L"..") {
            AEach(found);
        }
    } while (::FindNextFileW(search, &found) != 0);
    ::FindClose(search);
}

// Empties `AFolder` unless a program in it still runs, which the system keeps from being deleted:
// then what lies beside it may still be its own, and everything stays. False when something stays.
bool EmptyUnlessRunning(const std::filesystem::path& AFolder) {
    std::vector<std::filesystem::path> programs;
    std::vector<std::filesystem::path> others;
    ForEachEntry(AFolder, [&](const WIN32_FIND_DATAW& AEntry) {
        const std::filesystem::path entry = AFolder / AEntry.cFileName;
        const bool program =
            (AEntry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            ::CompareStringOrdinal(entry.extension().c_str(), -1, L".exe", -1, TRUE) == CSTR_EQUAL;
        (program ? programs : others).push_back(entry);
    });
    for (const std::filesystem::path& program : programs) {
        if (::DeleteFileW(program.c_str()) == 0) {
            return false;
        }
    }
    bool empty = true;
    for (const std::filesystem::path& other : others) {
        ::SetFileAttributesW(other.c_str(), FILE_ATTRIBUTE_NORMAL);
        empty =
            (::DeleteFileW(other.c_str()) != 0 || ::RemoveDirectoryW(other.c_str()) != 0) && empty;
    }
    return empty;
}

}  // namespace

class TDownloadLock::TImpl {
public:
    explicit TImpl(HANDLE AHandle) : Handle(AHandle) {}
    TFileHandle Handle;
};

TDownloadLock::TDownloadLock(std::unique_ptr<TImpl> AImpl) : FImpl(std::move(AImpl)) {}
TDownloadLock::TDownloadLock(TDownloadLock&&) noexcept = default;
TDownloadLock& TDownloadLock::operator=(TDownloadLock&&) noexcept = default;
TDownloadLock::~TDownloadLock() = default;

TDownloadLock HoldDownloadLock() {
    // A file shared with nobody, in a folder of the user's: unlike a named object, which anyone in
    // the session could create first, no one else can take it.
    const std::filesystem::path path = UserDataDirectory() / L"download.lock";
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError("cannot hold " + path.string());
    }
    auto impl = std::make_unique<TDownloadLock::TImpl>(handle);
    RequireDiskFile(handle, path);
    return TDownloadLock(std::move(impl));
}

class TRunFolder::TImpl {
public:
    explicit TImpl(std::filesystem::path APath) : Path(std::move(APath)) {}
    // Only once it is empty: the file of a failed run went with its handle, and a setup program
    // that was started stays, running, until the next run.
    ~TImpl() { ::RemoveDirectoryW(Path.c_str()); }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    const std::filesystem::path Path;
};

TRunFolder::TRunFolder(std::unique_ptr<TImpl> AImpl) : FImpl(std::move(AImpl)) {}
TRunFolder::TRunFolder(TRunFolder&&) noexcept = default;
TRunFolder& TRunFolder::operator=(TRunFolder&&) noexcept = default;
TRunFolder::~TRunFolder() = default;

const std::filesystem::path& TRunFolder::Path() const {
    return FImpl->Path;
}

void TRunFolder::RequireOnly(const std::filesystem::path& AName) const {
    bool alone = true;
    ForEachEntry(FImpl->Path, [&](const WIN32_FIND_DATAW& AFound) {
        alone = alone &&
                ::CompareStringOrdinal(AFound.cFileName, -1, AName.c_str(), -1, TRUE) == CSTR_EQUAL;
    });
    if (!alone) {
        throw std::system_error(std::make_error_code(std::errc::file_exists),
                                "something came into " + FImpl->Path.string());
    }
}

TRunFolder CreateRunFolder(const std::filesystem::path& ATempDirectory) {
    const auto descriptor = UsersOnlyDescriptor();
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor.get();
    // A new folder, never one that stood there already.
    const std::filesystem::path path =
        ATempDirectory / (std::wstring(kRunFolderPrefix) + RandomName());
    if (::CreateDirectoryW(path.c_str(), &attributes) == 0) {
        ThrowLastError("cannot create " + path.string());
    }
    return TRunFolder(std::make_unique<TRunFolder::TImpl>(path));
}

void RemoveEarlierRunFolders(const std::filesystem::path& ATempDirectory) {
    ForEachEntry(ATempDirectory, [&](const WIN32_FIND_DATAW& AFolder) {
        if ((AFolder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            !IsRunFolderName(AFolder.cFileName)) {
            return;
        }
        const std::filesystem::path folder = ATempDirectory / AFolder.cFileName;
        // A link goes as a link, never what it leads to.
        if ((AFolder.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
            !EmptyUnlessRunning(folder)) {
            return;
        }
        ::RemoveDirectoryW(folder.c_str());
    });
}

TFile::TFile(std::unique_ptr<TImpl> AImpl) : FImpl(std::move(AImpl)) {}
TFile::TFile(TFile&&) noexcept = default;
TFile& TFile::operator=(TFile&&) noexcept = default;
TFile::~TFile() = default;

const std::filesystem::path& TFile::Path() const {
    return FImpl->Path;
}

std::intptr_t TFile::NativeHandle() const {
    return reinterpret_cast<std::intptr_t>(FImpl->Handle.Get());
}

void TFile::Write(std::span<const std::byte> ABytes) {
    while (!ABytes.empty()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(ABytes.size(), 1u << 30));
        DWORD written = 0;
        if (::WriteFile(FImpl->Handle.Get(), ABytes.data(), piece, &written, nullptr) == 0) {
            ThrowLastError("cannot write " + FImpl->Path.string());
        }
        ABytes = ABytes.subspan(written);
    }
}

void TFile::Resize(std::int64_t ASize) {
    const HANDLE handle = FImpl->Handle.Get();
    LARGE_INTEGER position{};
    LARGE_INTEGER size{};
    size.QuadPart = ASize;
    // The end of a file is where its pointer stands: move it there and back.
    if (::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) == 0 ||
        ::SetFilePointerEx(handle, size, nullptr, FILE_BEGIN) == 0 || ::SetEndOfFile(handle) == 0 ||
        ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) == 0) {
        ThrowLastError("cannot resize " + FImpl->Path.string());
    }
}

std::size_t TFile::ReadAt(std::int64_t AOffset, std::span<std::byte> ABuffer) const {
    const HANDLE handle = FImpl->Handle.Get();
    LARGE_INTEGER position{};
    if (::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) == 0) {
        ThrowLastError("cannot read " + FImpl->Path.string());
    }
    std::size_t total = 0;
    while (total < ABuffer.size()) {
        // A read at an offset moves the file pointer: it goes back below.
        OVERLAPPED at{};
        const auto offset = static_cast<std::uint64_t>(AOffset) + total;
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const auto piece =
            static_cast<DWORD>(std::min<std::size_t>(ABuffer.size() - total, 1u << 30));
        DWORD count = 0;
        if (::ReadFile(handle, ABuffer.data() + total, piece, &count, &at) == 0) {
            if (::GetLastError() == ERROR_HANDLE_EOF) {
                break;
            }
            ThrowLastError("cannot read " + FImpl->Path.string());
        }
        if (count == 0) {
            break;
        }
        total += count;
    }
    if (::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) == 0) {
        ThrowLastError("cannot read " + FImpl->Path.string());
    }
    return total;
}

void TFile::Seal() {
    SetDeleteOnClose(FImpl->Handle.Get(), false, FImpl->Path);
    if (!FImpl->Handle.Close()) {
        ThrowLastError("cannot close " + FImpl->Path.string());
    }
    // Read-only from here, and shared for reading only: whatever opened it for writing in the
    // moment between the two handles makes this fail, and nothing can change it afterwards.
    // Without DELETE access, which would keep out readers that do not share deletion.
    const HANDLE handle = ::CreateFileW(FImpl->Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(FImpl->Path.c_str());  // unchecked, it must not stay under its name
        throw std::system_error(static_cast<int>(error), std::system_category(),
                                "cannot reopen " + FImpl->Path.string());
    }
    FImpl->Handle.Reset(handle);
    FImpl->Sealed = true;
    RequireDiskFile(handle, FImpl->Path);
}

void TFile::Discard() {
    // Unsealed, it goes with its handle.
    Close();
    if (FImpl->Sealed && ::DeleteFileW(FImpl->Path.c_str()) == 0) {
        ThrowLastError("cannot delete " + FImpl->Path.string());
    }
}

void TFile::MakeExecutable() {
    // Windows runs a file by its name's extension; there is no permission to give.
}

void TFile::Close() {
    if (!FImpl->Handle.Close()) {
        ThrowLastError("cannot close " + FImpl->Path.string());
    }
}

TFile CreatePrivateFile(const std::filesystem::path& APath) {
    // No sharing while it is open: a second instance, or a setup program of that name still
    // running, makes this fail before anything is touched. Marked for deletion until sealed: a
    // run that fails, is cancelled or is killed leaves nothing that a double-click would start.
    return CreateUnshared(APath, TOnClose::Delete);
}

TFile CreatePlainFile(const std::filesystem::path& APath) {
    return CreateUnshared(APath, TOnClose::Keep);
}

bool StartProgram(TWindowHandle AOwner, TFile AProgram, std::u16string_view AParameters) {
    // Held, shared for reading only, until the shell has returned.
    // From its own folder, which holds nothing else: the DLLs that Windows looks for beside a
    // program first are not there to find.
    const bool started = ShellOpen(AOwner, AProgram.Path().wstring(), ToWide(AParameters),
                                   AProgram.Path().parent_path().wstring());
    try {
        AProgram.Close();
    } catch (const std::system_error&) {
        // A read-only handle that would not close changes nothing of what was started.
    }
    return started;
}

bool OpenAddress(TWindowHandle AOwner, std::u16string_view AAddress) {
    return ShellOpen(AOwner, ToWide(AAddress), std::wstring());
}

}  // namespace korvane::platform
