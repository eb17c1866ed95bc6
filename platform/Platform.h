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

// Full path of the running executable. Raises std::exception when the system cannot tell.
std::filesystem::path ExecutablePath();

// The user's own directory for temporary files, which no other user can enter or change: created
// when missing. Raises std::system_error when it is not the user's alone.
std::filesystem::path UserTempDirectory();

// The user's own directory for this program's data, created with its missing parents, readable by
// the user alone, when missing. Raises std::system_error on failure.
std::filesystem::path UserDataDirectory();

// A file open for reading and writing, closed when it goes out of scope. Failures raise
// std::system_error.
class TFile {
public:
    TFile(UniqueFd AFd, std::filesystem::path APath);

    // Writes all of `ABytes` at the current position.
    void Write(std::span<const std::byte> ABytes);
    // Makes the file `ASize` bytes long; the position stays where it is.
    void Resize(std::int64_t ASize);
    // Reads into `ABuffer` from `AOffset` on; fewer bytes than asked only at the end of the file.
    std::size_t ReadAt(std::int64_t AOffset, std::span<std::byte> ABuffer) const;
    // Lets its owner run the file as a program.
    void MakeExecutable();
    // Closes the file now, which gives up any hold on it.
    void Close();

private:
    UniqueFd FFd;
    std::filesystem::path FPath;
};

// Creates `APath`, or takes the empty file there, as a file of the current user alone, readable
// and writable by its owner only, and holds it for this process until it is closed: no other
// process that asks the same takes it meanwhile. Raises, touching nothing, when another process
// holds the file, when a link is at `APath`, or when the file there is not a regular file of the
// current user with a single name; as it does for any other failure.
TFile CreatePrivateFile(const std::filesystem::path& APath);

// Creates `APath`, or empties the file there, readable by everyone. A link at `APath` raises.
TFile CreateFile(const std::filesystem::path& APath);

// Deletes what is at `APath` unless it is a file that another process holds as CreatePrivateFile
// does. Whether it went is not reported.
void DeleteUnlessHeld(const std::filesystem::path& APath);

// Starts `AProgram` directly, without a shell, with the single argument `AArgument`, detached so
// that it outlives this process. True when the system started it.
bool StartProgram(const std::filesystem::path& AProgram, std::string_view AArgument);

// Hands `AAddress` to the desktop's URL opener. True when the opener accepted it.
bool OpenAddress(std::string_view AAddress);

}  // namespace korvane::platform
