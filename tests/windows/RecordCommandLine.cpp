// A stand-in for the setup program: appends the command line it was started with, as UTF-8 and
// one line per start, to the file that KORVANE_TEST_RECORD names, and its working directory to
// that file's name with ".directory" added, then exits. Built with KORVANE_IMPORTS_VERSION_DLL it
// imports version.dll, as many setup programs do: the DLL that Windows looks for in the program's
// own folder first.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Appends `AText` and a line end, as UTF-8, to the file `APath`; false on failure.
bool AppendLine(const std::wstring& APath, const wchar_t* AText) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, AText, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    std::string line(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, AText, -1, line.data(), size, nullptr, nullptr);
    line.back() = '\n';
    FILE* const record = _wfopen(APath.c_str(), L"ab");
    if (record == nullptr) {
        return false;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), record) == line.size();
    return std::fclose(record) == 0 && written;
}

}  // namespace

int wmain() {
#ifdef KORVANE_IMPORTS_VERSION_DLL
    DWORD unused = 0;
    GetFileVersionInfoSizeW(L"kernel32.dll", &unused);
#endif
    wchar_t path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"KORVANE_TEST_RECORD", path, MAX_PATH) == 0) {
        return 2;
    }
    wchar_t directory[MAX_PATH] = {};
    if (GetCurrentDirectoryW(MAX_PATH, directory) == 0 ||
        !AppendLine(std::wstring(path) + L".directory", directory)) {
        return 3;
    }
    // The command line last: whoever waits for it finds the directory written.
    return AppendLine(path, GetCommandLineW()) ? 0 : 4;
}
