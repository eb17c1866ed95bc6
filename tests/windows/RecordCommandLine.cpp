// A stand-in for the setup program: appends the command line it was started with, as UTF-8 and
// one line per start, to the file that KORVANE_TEST_RECORD names, then exits.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
    wchar_t path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"KORVANE_TEST_RECORD", path, MAX_PATH) == 0) {
        return 2;
    }
    const wchar_t* const commandLine = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return 5;
    }
    std::string line(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, line.data(), size, nullptr, nullptr);
    line.back() = '\n';
    FILE* const record = _wfopen(path, L"ab");
    if (record == nullptr) {
        return 3;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), record) == line.size();
    return std::fclose(record) == 0 && written ? 0 : 4;
}
