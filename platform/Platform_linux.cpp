// Linux implementation of the operating-system layer.
#include "platform/Platform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QString>
#include <QUrl>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

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

}  // namespace

std::filesystem::path ExecutablePath() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::filesystem::path SystemTempDirectory() {
    const char* const configured = std::getenv("TMPDIR");
    return configured != nullptr && *configured != '\0' ? configured : "/tmp";
}

TFile::TFile(UniqueFd AFd, std::filesystem::path APath)
    : FFd(std::move(AFd)), FPath(std::move(APath)) {}

void TFile::Write(std::span<const std::byte> ABytes) {
    while (!ABytes.empty()) {
        const ssize_t written = ::write(FFd.Get(), ABytes.data(), ABytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno("cannot write " + FPath.string());
        }
        ABytes = ABytes.subspan(static_cast<size_t>(written));
    }
}

void TFile::Resize(std::int64_t ASize) {
    if (::ftruncate(FFd.Get(), ASize) != 0) {
        ThrowErrno("cannot resize " + FPath.string());
    }
}

TFile CreatePrivateFile(const std::filesystem::path& APath) {
    // The temporary directory is shared with other users: never follow a link planted there, and
    // look at what was opened before emptying it, so that nobody else's file is touched.
    UniqueFd file(
        ::open(APath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!file) {
        ThrowErrno("cannot create " + APath.string());
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        ThrowErrno("cannot examine " + APath.string());
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        throw std::system_error(std::make_error_code(std::errc::permission_denied),
                                APath.string() + " is not a file of this user");
    }
    // Emptying a file that is empty already is not free: ext4 then flushes the whole new content
    // when the file is closed, as it does for a file replaced by truncation.
    if (::fchmod(file.Get(), S_IRUSR | S_IWUSR) != 0 ||
        (status.st_size != 0 && ::ftruncate(file.Get(), 0) != 0)) {
        ThrowErrno("cannot prepare " + APath.string());
    }
    return TFile(std::move(file), APath);
}

TFile CreateFile(const std::filesystem::path& APath) {
    UniqueFd file(::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH));
    if (!file) {
        ThrowErrno("cannot create " + APath.string());
    }
    return TFile(std::move(file), APath);
}

bool StartProgram(const std::filesystem::path& AProgram, std::string_view AArgument) {
    struct stat status {};
    if (::stat(AProgram.c_str(), &status) != 0 ||
        ::chmod(AProgram.c_str(), status.st_mode | S_IXUSR) != 0) {
        return false;
    }

    // Its own session, so that it outlives us; none of our descriptors, the connection included.
    TSpawnAttributes spawn;
    if (posix_spawnattr_setflags(spawn.Attributes(), POSIX_SPAWN_SETSID) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(spawn.Actions(), STDERR_FILENO + 1) != 0) {
        return false;
    }
    std::string program = AProgram.string();
    std::string argument(AArgument);
    char* const arguments[] = {program.data(), argument.data(), nullptr};
    pid_t child = 0;
    // posix_spawn reports a failed exec itself, so a true result means the image was loaded.
    return posix_spawn(&child, program.c_str(), spawn.Actions(), spawn.Attributes(), arguments,
                       environ) == 0;
}

bool OpenAddress(std::string_view AAddress) {
    return QDesktopServices::openUrl(
        QUrl(QString::fromUtf8(AAddress.data(), static_cast<qsizetype>(AAddress.size()))));
}

}  // namespace korvane::platform
