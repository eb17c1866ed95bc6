// What the program asks of the operating system, one implementation file per system
// (Platform_linux.cpp, Platform_windows.cpp). The window and the HTTP transport are the other two
// things each system supplies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

namespace korvane::platform {

// The window system's handle of a window, for calls that take an owner window; 0 for none.
enum class TWindowHandle : std::uintptr_t {};

// Full path of the running executable. Raises std::exception when the system cannot tell.
std::filesystem::path ExecutablePath();

// The user's directory for temporary files as the system names it, with its trailing separator.
// Raises std::system_error when the system cannot tell.
std::filesystem::path UserTempDirectory();

// The user's hold on downloading: one download at a time for a user. Given up when it goes.
class TDownloadLock {
public:
    class TImpl;  // the system's handle, defined by each platform
    explicit TDownloadLock(std::unique_ptr<TImpl> AImpl);
    TDownloadLock(TDownloadLock&&) noexcept;
    TDownloadLock& operator=(TDownloadLock&&) noexcept;
    ~TDownloadLock();

private:
    std::unique_ptr<TImpl> FImpl;
};

// Takes the download lock, a file that only the user can create: in $XDG_RUNTIME_DIR when that is
// the user's alone, else in the user's data directory (Linux); in the user's local application
// data (Windows). Raises std::system_error when another process holds it, or it cannot be taken.
TDownloadLock HoldDownloadLock();

// A folder that one run makes for its download inside the user's temporary directory, under a name
// nobody can work out beforehand, that only the user can reach (with SYSTEM and the Administrators
// on Windows). On Windows it goes when it goes out of scope and is empty; what stays in it, on
// either system, is for the next run to remove.
class TRunFolder {
public:
    class TImpl;  // defined by each platform
    explicit TRunFolder(std::unique_ptr<TImpl> AImpl);
    TRunFolder(TRunFolder&&) noexcept;
    TRunFolder& operator=(TRunFolder&&) noexcept;
    ~TRunFolder();

    const std::filesystem::path& Path() const;
    // Raises std::system_error unless the folder holds nothing but the file named `AName`.
    void RequireOnly(const std::filesystem::path& AName) const;

private:
    std::unique_ptr<TImpl> FImpl;
};

// Makes a new run folder in `ATempDirectory`. Raises std::system_error on failure.
TRunFolder CreateRunFolder(const std::filesystem::path& ATempDirectory);

// Removes, with what they hold, the folders that earlier runs of this user left in
// `ATempDirectory`, except those whose setup program still runs. Never follows a link, and leaves
// whatever is not a run folder of this user as it is. Failures are not reported.
void RemoveEarlierRunFolders(const std::filesystem::path& ATempDirectory);

// The user's own directory for this program's data, created with its missing parents, readable by
// the user alone, when missing. Raises std::system_error on failure.
std::filesystem::path UserDataDirectory();

// A file open for reading and writing, closed when it goes out of scope. Failures raise
// std::system_error.
class TFile {
public:
    class TImpl;  // the system's handle, defined by each platform
    explicit TFile(std::unique_ptr<TImpl> AImpl);
    TFile(TFile&&) noexcept;
    TFile& operator=(TFile&&) noexcept;
    ~TFile();

    // The name it was created under.
    const std::filesystem::path& Path() const;
    // The system's handle of the open file (a HANDLE on Windows, a descriptor on Linux), for the
    // system calls that take one.
    std::intptr_t NativeHandle() const;
    // Writes all of `ABytes` at the current position.
    void Write(std::span<const std::byte> ABytes);
    // Makes the file `ASize` bytes long; the position stays where it is.
    void Resize(std::int64_t ASize);
    // Reads into `ABuffer` from `AOffset` on; fewer bytes than asked only at the end of the file.
    std::size_t ReadAt(std::int64_t AOffset, std::span<std::byte> ABuffer) const;
    // The content is complete: the file stays when it is closed, and is not written any more. On
    // Windows it is then held for reading only, and nothing else may change it until it is closed.
    void Seal();
    // The file must never run: on Windows, where its name alone makes it runnable, it is deleted;
    // on Linux it stays without the permission to run. Closes it.
    void Discard();
    // Lets its owner run the file as a program.
    void MakeExecutable();
    // Closes the file now, which gives up any hold on it.
    void Close();

private:
    std::unique_ptr<TImpl> FImpl;
};

// Creates `APath`, or takes the file there, as a file of the current user, and holds it for this
// process until it is closed: no other process that asks the same takes it meanwhile. Raises,
// touching nothing, when another process holds the file or the file there is not one the user may
// take over; as it does for any other failure. Until it is sealed, the file goes when it is closed
// or this process ends on Windows, where a half-written program would otherwise stay runnable.
TFile CreatePrivateFile(const std::filesystem::path& APath);

// Creates `APath`, or empties the file there, readable by everyone. A link at `APath` raises.
TFile CreatePlainFile(const std::filesystem::path& APath);

// Starts the program in the sealed file `AProgram` with the parameters `AParameters`, so that it
// outlives this process, in the program's own folder as its working directory; `AOwner` is the
// window on whose behalf it starts. True when the system started it. The file is closed by the time
// this returns: on Linux before the start, since a file open for writing cannot run; on Windows
// once the shell has returned, so that nothing can change the program between its check and its
// start.
bool StartProgram(TWindowHandle AOwner, TFile AProgram, std::u16string_view AParameters);

// Hands `AAddress` to the user's web browser. True when the system accepted it.
bool OpenAddress(TWindowHandle AOwner, std::u16string_view AAddress);

}  // namespace korvane::platform
