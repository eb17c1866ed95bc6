// What the program asks of the operating system. Everything system-specific lives behind these
// functions, so that another system needs another implementation file and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "platform/UniqueFd.h"

namespace korvane::platform {

// Full path of the running executable.
std::filesystem::path ExecutablePath();

// The system's directory for temporary files, as the system reports it.
std::filesystem::path SystemTempDirectory();

// A file open for writing, closed when it goes out of scope. Failures raise std::system_error.
class TFile {
public:
    TFile(UniqueFd AFd, std::filesystem::path APath);

    // Writes all of `ABytes` at the current position.
    void Write(std::span<const std::byte> ABytes);
    // Makes the file `ASize` bytes long; the position stays where it is.
    void Resize(std::int64_t ASize);

private:
    UniqueFd FFd;
    std::filesystem::path FPath;
};

// Creates `APath` as a file of the current user alone, empty, readable and writable by its owner
// only. A link at `APath` is never followed, and an existing file that is not a regular file of the
// current user is left untouched: both raise, as does any other failure.
TFile CreatePrivateFile(const std::filesystem::path& APath);

// Creates `APath`, or empties the file there, readable by everyone. A link at `APath` raises.
TFile CreateFile(const std::filesystem::path& APath);

// Makes `AProgram` executable for its owner and starts it directly, without a shell, with the
// single argument `AArgument`, detached so that it outlives this process. True when the system
// started it.
bool StartProgram(const std::filesystem::path& AProgram, std::string_view AArgument);

// Hands `AAddress` to the desktop's URL opener. True when the opener accepted it.
bool OpenAddress(std::string_view AAddress);

}  // namespace korvane::platform
