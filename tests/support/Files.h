// Files, directories and the environment for the tests, alike on Linux and under Wine; each system
// makes them its own way (Files_linux.cpp, Files_windows.cpp).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::test {

// A fresh directory under the user's temporary directory, removed with everything in it.
class TTempDir {
public:
    TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    ~TTempDir();
    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(std::string_view AName) const { return FPath / AName; }

private:
    std::filesystem::path FPath;
};

// Writes `AContent` to `APath`, creating or replacing the file; reads a whole file back.
void WriteFile(const std::filesystem::path& APath, std::string_view AContent);
std::string ReadFile(const std::filesystem::path& APath);

// Sets an environment variable, or with nullopt unsets it, for the object's lifetime.
class TScopedEnvironment {
public:
    TScopedEnvironment(std::string AName, const std::optional<std::string>& AValue);
    TScopedEnvironment(const TScopedEnvironment&) = delete;
    TScopedEnvironment& operator=(const TScopedEnvironment&) = delete;
    ~TScopedEnvironment();

private:
    std::string FName;
    std::optional<std::string> FOld;
};

}  // namespace korvane::test
