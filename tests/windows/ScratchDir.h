// A directory of its own in the user's temporary directory, removed with everything in it.
#pragma once

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace korvane::test {

class TScratchDir {
public:
    // `APrefix`: up to three characters that start its name.
    explicit TScratchDir(const wchar_t* APrefix = L"kvt") {
        wchar_t base[MAX_PATH + 1] = {};
        wchar_t name[MAX_PATH] = {};
        if (GetTempPathW(MAX_PATH + 1, base) == 0 ||
            GetTempFileNameW(base, APrefix, 0, name) == 0) {
            throw std::runtime_error("no temporary name");
        }
        // The name comes as an empty file, which keeps others from taking it.
        FPath = name;
        std::filesystem::remove(FPath);
        std::filesystem::create_directory(FPath);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    ~TScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

}  // namespace korvane::test
