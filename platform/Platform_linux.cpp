// Linux implementation of the operating-system layer.
#include "platform/Platform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "platform/UniqueFd.h"
#include "texts/StatusTexts.h"

extern char** environ;

namespace korvane::platform {

namespace {

[[noreturn]] void ThrowErrno(const std::string& AWhat) {
    throw std::system_error(errno, std::generic_category(), AWhat);
}

// Owns the attributes of a posix_spawn call.
class TSpawnAttributes {
public:
    TSpawnAttributes() {
        posix_spawnattr_init(&FAttributes);
        posix_spawn_file_actions_init(&FActions);
    }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
    ~TSpawnAttributes() {
        posix_spawn_file_actions_destroy(&FActions);
        posix_spawnattr_destroy(&FAttributes);
    }
    posix_spawnattr_t* Attributes() { return &FAttributes; }
    posix_spawn_file_actions_t* Actions() { return &FActions; }

private:
    posix_spawnattr_t FAttributes;
    posix_spawn_file_actions_t FActions;
};

// Starts `AProgram` with `AArgument` as its one argument, in a session of its own so that it
// outlives us, with none of our descriptors but the standard streams (the connection included),
// in `AWorkingDirectory` unless that is empty. A program named without a directory is looked for
// in PATH. True when its image was loaded: posix_spawn reports a failed exec itself.
bool SpawnDetached(std::string AProgram, std::u16string_view AArgument,
                   const std::filesystem::path& AWorkingDirectory = {}) {
    TSpawnAttributes spawn;
    if (posix_spawnattr_setflags(spawn.Attributes(), POSIX_SPAWN_SETSID) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(spawn.Actions(), STDERR_FILENO + 1) != 0 ||
        (!AWorkingDirectory.empty() &&
         posix_spawn_file_actions_addchdir_np(spawn.Actions(), AWorkingDirectory.c_str()) != 0)) {
        return false;
    }
    // A single argument: nothing here splits a command line.
    std::string argument = ToUtf8(AArgument);
    char* const arguments[] = {AProgram.data(), argument.data(), nullptr};
    pid_t child = 0;
    return posix_spawnp(&child, AProgram.c_str(), spawn.Actions(), spawn.Attributes(), arguments,
                        environ) == 0;
}

}  // namespace

std::filesystem::path ExecutablePath() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::filesystem::path UserTempDirectory() {
    const char* const configured = std::getenv("TMPDIR");
    const std::filesystem::path system =
        configured != nullptr && *configured != '\0' ? configured : "/tmp";
    return system / "";  // with its trailing separator
}

std::filesystem::path UserDataDirectory() {
    // The XDG base directories: an XDG_DATA_HOME that is not absolute is to be ignored.
    std::filesystem::path base;
    if (const char* const data = std::getenv("XDG_DATA_HOME");
        data != nullptr && std::filesystem::path(data).is_absolute()) {
        base = data;
    } else if (const char* const home = std::getenv("HOME");
               home != nullptr && std::filesystem::path(home).is_absolute()) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                "no data directory: neither XDG_DATA_HOME nor HOME is absolute");
    }
    const std::filesystem::path directory = (base / "korvane").lexically_normal();
    std::filesystem::path made;
    for (const std::filesystem::path& element : directory) {
        made /= element;
        if (::mkdir(made.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
            ThrowErrno("cannot create " + made.string());
        }
    }
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw std::system_error(std::make_error_code(std::errc::not_a_directory),
                                directory.string() + " is not a directory");
    }
    return directory;
}

namespace {

// The run folders of user `AUser` are named "korvane-<uid>-" and six characters that mkdtemp picks.
std::string RunFolderPrefix(uid_t AUser) {
    return "korvane-" + std::to_string(AUser) + "-";
}

// Whether `AStatus` is that of a directory of this user's that no one else may enter.
bool IsUsersAlone(const struct stat& AStatus) {
    return S_ISDIR(AStatus.st_mode) && AStatus.st_uid == ::getuid() &&
           (AStatus.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// Where the download lock lives: the runtime directory that the session gives the user, when it
// is the user's alone; else the data directory, which is.
std::filesystem::path DownloadLockDirectory() {
    if (const char* const runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && std::filesystem::path(runtime).is_absolute()) {
        struct stat status {};
        if (::lstat(runtime, &status) == 0 && IsUsersAlone(status)) {
            return runtime;
        }
    }
    return UserDataDirectory();
}

// Whether a process of this user has its working directory at or below `AFolder`: a setup
// program runs from its folder. Processes of other users cannot be looked at, nor started there.
bool InUse(const std::filesystem::path& AFolder) {
    std::error_code error;
    // As the system gives working directories: without links or dots.
    const std::filesystem::path folder = std::filesystem::weakly_canonical(AFolder, error);
    for (std::filesystem::directory_iterator process("/proc", error), end; !error && process != end;
         process.increment(error)) {
        std::error_code unreadable;
        const std::filesystem::path directory =
            std::filesystem::read_symlink(process->path() / "cwd", unreadable);
        if (unreadable) {
            continue;
        }
        const auto [folderEnd, unused] =
            std::mismatch(folder.begin(), folder.end(), directory.begin(), directory.end());
        if (folderEnd == folder.end()) {
            return true;
        }
    }
    return false;
}

}  // namespace

class TDownloadLock::TImpl {
public:
    explicit TImpl(UniqueFd AFd) : Fd(std::move(AFd)) {}
    UniqueFd Fd;
};

TDownloadLock::TDownloadLock(std::unique_ptr<TImpl> AImpl) : FImpl(std::move(AImpl)) {}
TDownloadLock::TDownloadLock(TDownloadLock&&) noexcept = default;
TDownloadLock& TDownloadLock::operator=(TDownloadLock&&) noexcept = default;
TDownloadLock::~TDownloadLock() = default;

TDownloadLock HoldDownloadLock() {
    const std::filesystem::path path = DownloadLockDirectory() / "korvane-download.lock";
    UniqueFd file(
        ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!file) {
        ThrowErrno("cannot open " + path.string());
    }
    // Released with the descriptor, also when the process dies.
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        ThrowErrno("cannot hold " + path.string());
    }
    return TDownloadLock(std::make_unique<TDownloadLock::TImpl>(std::move(file)));
}

class TRunFolder::TImpl {
public:
    explicit TImpl(std::filesystem::path APath) : Path(std::move(APath)) {}
    const std::filesystem::path Path;
};

TRunFolder::TRunFolder(std::unique_ptr<TImpl> AImpl) : FImpl(std::move(AImpl)) {}
TRunFolder::TRunFolder(TRunFolder&&) noexcept = default;
TRunFolder& TRunFolder::operator=(TRunFolder&&) noexcept = default;
// What a failed run left is not runnable, in a folder of the user's alone: the next run removes it.
TRunFolder::~TRunFolder() = default;

const std::filesystem::path& TRunFolder::Path() const {
    return FImpl->Path;
}

void TRunFolder::RequireOnly(const std::filesystem::path& AName) const {
    for (const auto& entry : std::filesystem::directory_iterator(FImpl->Path)) {
        if (entry.path().filename() != AName) {
            throw std::system_error(std::make_error_code(std::errc::file_exists),
                                    entry.path().string() + " came into the run's folder");
        }
    }
}

TRunFolder CreateRunFolder(const std::filesystem::path& ATempDirectory) {
    // mkdtemp makes a new directory with mode 0700 under a name that it picks, whatever stands in
    // the shared directory already.
    std::string name = (ATempDirectory / (RunFolderPrefix(::getuid()) + "XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) {
        ThrowErrno("cannot create a folder in " + ATempDirectory.string());
    }
    return TRunFolder(std::make_unique<TRunFolder::TImpl>(name));
}

void RemoveEarlierRunFolders(const std::filesystem::path& ATempDirectory) {
    const std::string prefix = RunFolderPrefix(::getuid());
    std::error_code error;
    for (std::filesystem::directory_iterator entry(ATempDirectory, error), end;
         !error && entry != end; entry.increment(error)) {
        const std::filesystem::path folder = entry->path();
        struct stat status {};
        if (!folder.filename().string().starts_with(prefix) ||
            ::lstat(folder.c_str(), &status) != 0 || !IsUsersAlone(status) || InUse(folder)) {
            continue;
        }
        // remove_all takes links away and never follows them.
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

class TFile::TImpl {
public:
    TImpl(UniqueFd AFd, std::filesystem::path APath) : Fd(std::move(AFd)), Path(std::move(APath)) {}

    UniqueFd Fd;
    const std::filesystem::path Path;
};

namespace {

TFile MakeFile(UniqueFd AFd, const std::filesystem::path& APath) {
    return TFile(std::make_unique<TFile::TImpl>(std::move(AFd), APath));
}

}  // namespace

TFile::TFile(std::unique_ptr<TImpl> AImpl) : FImpl(std::move(AImpl)) {}
TFile::TFile(TFile&&) noexcept = default;
TFile& TFile::operator=(TFile&&) noexcept = default;
TFile::~TFile() = default;

const std::filesystem::path& TFile::Path() const {
    return FImpl->Path;
}

std::intptr_t TFile::NativeHandle() const {
    return FImpl->Fd.Get();
}

void TFile::Write(std::span<const std::byte> ABytes) {
    while (!ABytes.empty()) {
        const ssize_t written = ::write(FImpl->Fd.Get(), ABytes.data(), ABytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno("cannot write " + FImpl->Path.string());
        }
        ABytes = ABytes.subspan(static_cast<size_t>(written));
    }
}

void TFile::Resize(std::int64_t ASize) {
    if (::ftruncate(FImpl->Fd.Get(), ASize) != 0) {
        ThrowErrno("cannot resize " + FImpl->Path.string());
    }
}

std::size_t TFile::ReadAt(std::int64_t AOffset, std::span<std::byte> ABuffer) const {
    std::size_t total = 0;
    while (total < ABuffer.size()) {
        const ssize_t count = ::pread(FImpl->Fd.Get(), ABuffer.data() + total,
                                      ABuffer.size() - total, AOffset + static_cast<off_t>(total));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno("cannot read " + FImpl->Path.string());
        }
        if (count == 0) {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    return total;
}

void TFile::Seal() {
    // The lock taken at its creation keeps other instances out until it is closed; the file's
    // own permissions keep other users out.
}

void TFile::Discard() {
    // Never made executable, in a directory of the user's alone: it cannot be run as it is, and
    // the next run deletes it.
    Close();
}

void TFile::MakeExecutable() {
    // Through the descriptor, never by name: the name might lead elsewhere by now.
    struct stat status {};
    if (::fstat(FImpl->Fd.Get(), &status) != 0) {
        ThrowErrno("cannot examine " + FImpl->Path.string());
    }
    if (status.st_nlink != 1) {
        throw std::system_error(std::make_error_code(std::errc::permission_denied),
                                FImpl->Path.string() + " has other names");
    }
    if (::fchmod(FImpl->Fd.Get(), (status.st_mode & 07777) | S_IXUSR) != 0) {
        ThrowErrno("cannot make " + FImpl->Path.string() + " executable");
    }
}

void TFile::Close() {
    if (FImpl->Fd && ::close(FImpl->Fd.Release()) != 0) {
        ThrowErrno("cannot close " + FImpl->Path.string());
    }
}

TFile CreatePrivateFile(const std::filesystem::path& APath) {
    // A link is never followed, and the file is held before it is looked at or changed: the
    // download of another instance, or another user's file, stays as it is.
    UniqueFd file(
        ::open(APath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!file) {
        ThrowErrno("cannot create " + APath.string());
    }
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        ThrowErrno("cannot hold " + APath.string());
    }
    struct stat opened {};
    struct stat named {};
    if (::fstat(file.Get(), &opened) != 0 || ::lstat(APath.c_str(), &named) != 0) {
        ThrowErrno("cannot examine " + APath.string());
    }
    // The same file as the name still gives: not one that the instance we waited for deleted.
    if (!S_ISREG(opened.st_mode) || opened.st_uid != ::getuid() || opened.st_nlink != 1 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        throw std::system_error(std::make_error_code(std::errc::permission_denied),
                                APath.string() + " is not a file of this user alone");
    }
    // Emptying a file that is empty already is not free: ext4 then flushes the whole new content
    // when the file is closed, as it does for a file replaced by truncation.
    if (::fchmod(file.Get(), S_IRUSR | S_IWUSR) != 0 ||
        (opened.st_size != 0 && ::ftruncate(file.Get(), 0) != 0)) {
        ThrowErrno("cannot prepare " + APath.string());
    }
    return MakeFile(std::move(file), APath);
}

TFile CreatePlainFile(const std::filesystem::path& APath) {
    UniqueFd file(::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH));
    if (!file) {
        ThrowErrno("cannot create " + APath.string());
    }
    return MakeFile(std::move(file), APath);
}

bool StartProgram(TWindowHandle, TFile AProgram, std::u16string_view AParameters) {
    try {
        AProgram.MakeExecutable();
        AProgram.Close();
    } catch (const std::system_error&) {
        return false;
    }
    return SpawnDetached(AProgram.Path().string(), AParameters, AProgram.Path().parent_path());
}

bool OpenAddress(TWindowHandle, std::u16string_view AAddress) {
    // The desktop's own opener, which hands an https address to the user's browser.
    return SpawnDetached("xdg-open", AAddress);
}

}  // namespace korvane::platform
