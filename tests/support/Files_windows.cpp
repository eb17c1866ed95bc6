#include "support/Files.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/WindowsText.h"

namespace korvane::test {

namespace {

std::wstring Wide(std::string_view AText) {
    return platform::Widened(AText, CP_UTF8, MB_ERR_INVALID_CHARS).value();
}

}  // namespace

TTempDir::TTempDir() {
    wchar_t base[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH + 1, base) == 0 || ::GetTempFileNameW(base, L"kvt", 0, name) == 0) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "cannot make a temporary directory");
    }
    // The name comes as an empty file, which keeps others from taking it meanwhile.
    FPath = name;
    std::filesystem::remove(FPath);
    std::filesystem::create_directory(FPath);
}

TTempDir::~TTempDir() {
    std::error_code error;
    std::filesystem::remove_all(FPath, error);
}

// The process's own environment, which the system reads (GetTempPathW reads TMP there), rather
// than the C library's copy of it.
TScopedEnvironment::TScopedEnvironment(std::string AName, const std::optional<std::string>& AValue)
    : FName(std::move(AName)) {
    const std::wstring name = Wide(FName);
    if (const DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0); size != 0) {
        std::vector<wchar_t> old(size);
        const DWORD length = ::GetEnvironmentVariableW(name.c_str(), old.data(), size);
        FOld = platform::Narrowed(std::wstring_view(old.data(), length), CP_UTF8);
    }
    ::SetEnvironmentVariableW(name.c_str(), AValue ? Wide(*AValue).c_str() : nullptr);
}

TScopedEnvironment::~TScopedEnvironment() {
    ::SetEnvironmentVariableW(Wide(FName).c_str(), FOld ? Wide(*FOld).c_str() : nullptr);
}

}  // namespace korvane::test
