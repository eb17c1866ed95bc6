// What the program asks of the operating system. Everything system-specific lives behind these
// functions, so that another system needs another implementation file and nothing else.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/UniqueFd.h"

namespace korvane::platform {

// Full path of the running executable.
std::filesystem::path ExecutablePath();

// The system's directory for temporary files, as the system reports it.
std::filesystem::path SystemTempDirectory();

// Opens `APath` for reading and writing as a file of the current user alone, emptied, readable and
// writable by its owner only. A link at `APath` is never followed, and an existing file that is not
// a regular file of the current user is left untouched: both raise std::system_error, as does any
// other failure.
UniqueFd CreatePrivateFile(const std::filesystem::path& APath);

// Makes `AProgram` executable for its owner and starts it directly, without a shell, with the single
// argument `AArgument`, detached so that it outlives this process. True when the system started it.
bool StartProgram(const std::filesystem::path& AProgram, std::string_view AArgument);

// Hands `AAddress` to the desktop's URL opener. True when the opener accepted it.
bool OpenAddress(std::string_view AAddress);

}  // namespace korvane::platform
