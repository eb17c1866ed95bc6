// A DLL planted beside the program under the name of one it might load. When a process loads it,
// it appends its own file name, as UTF-8 and one line per load, to the file that
// KORVANE_PLANTED_RECORD names. Then it stands in for the genuine DLL of its name from the system
// directory: its exports (PlantedExports.h) jump to the genuine ones, so that a process that loads
// it, as Wine's own DLLs do on their own terms, goes on as it would have without it.
#include <windows.h>

#include <memory>
#include <string>

#include "PlantedExports.h"

namespace {

struct THandleCloser {
    void operator()(HANDLE AHandle) const { CloseHandle(AHandle); }
};
using THandle = std::unique_ptr<void, THandleCloser>;

std::wstring ModulePath(HMODULE AModule) {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = GetModuleFileNameW(AModule, path.data(), MAX_PATH);
    path.resize(length < MAX_PATH ? length : 0);
    return path;
}

void RecordLoad(const std::wstring& AModulePath) {
    wchar_t recordPath[MAX_PATH] = {};
    const DWORD recordLength =
        GetEnvironmentVariableW(L"KORVANE_PLANTED_RECORD", recordPath, MAX_PATH);
    if (recordLength == 0 || recordLength >= MAX_PATH || AModulePath.empty()) {
        return;
    }
    std::string line(4 * AModulePath.size() + 1, '\0');
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, AModulePath.data(), static_cast<int>(AModulePath.size()),
                            line.data(), static_cast<int>(line.size()), nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    line.resize(static_cast<std::size_t>(size));
    line += '\n';
    // Appending writes land whole at the end, also when several processes record at once.
    const HANDLE opened =
        CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return;
    }
    const THandle record(opened);
    DWORD written = 0;
    WriteFile(record.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Where the genuine DLL lacks an export, or is missing itself, the call fails as an unsupported
// one does.
extern "C" ULONG_PTR WINAPI NotInTheGenuineDll() {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
}

// The genuine DLL stays loaded as long as the process: the planted copy is never unloaded before
// the callers it serves.
void StandInForTheGenuineDll(const std::wstring& AModulePath) {
    HMODULE genuine = nullptr;
    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length > 0 && length < MAX_PATH && !AModulePath.empty()) {
        const std::wstring name = AModulePath.substr(AModulePath.find_last_of(L"\\/") + 1);
        genuine =
            LoadLibraryExW((std::wstring(systemDirectory) + L"\\" + name).c_str(), nullptr, 0);
    }
    for (unsigned i = 0; i < kPlantedExportCount; ++i) {
        const FARPROC function =
            genuine != nullptr ? GetProcAddress(genuine, kPlantedExports[i]) : nullptr;
        korvane_planted_slots[i] = function != nullptr
                                       ? reinterpret_cast<void*>(function)
                                       : reinterpret_cast<void*>(&NotInTheGenuineDll);
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE AModule, DWORD AReason, LPVOID) {
    if (AReason == DLL_PROCESS_ATTACH) {
        const std::wstring path = ModulePath(AModule);
        RecordLoad(path);
        StandInForTheGenuineDll(path);
    }
    return TRUE;
}
