// Windows implementation of the operating-system layer.
// <windows.h> first: the other system headers build on it.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
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

// The shell's "open", on behalf of `AOwner`; it reports success with a value above 32.
bool ShellOpen(TWindowHandle AOwner, const std::wstring& AFile, const std::wstring& AParameters) {
    const HINSTANCE result = ::ShellExecuteW(reinterpret_cast<HWND>(AOwner), L"open", AFile.c_str(),
                                             AParameters.c_str(), nullptr, SW_SHOW);
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
    // The user's own temporary directory, which the system keeps from other users; with its
    // trailing separator, in the buffer the system's maximum path fits.
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

void DeleteUnlessHeld(const std::filesystem::path& APath) {
    // A file open without delete sharing, as every file of ours is, cannot be deleted.
    ::DeleteFileW(APath.c_str());
}

bool StartProgram(TWindowHandle AOwner, TFile AProgram, std::u16string_view AParameters) {
    // Held, shared for reading only, until the shell has returned.
    const bool started = ShellOpen(AOwner, AProgram.Path().wstring(), ToWide(AParameters));
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
