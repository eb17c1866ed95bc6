#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "support/SystemError.h"
#include "support/WaitUntil.h"

extern char** environ;

namespace korvane::test {
namespace {

using namespace std::chrono_literals;
using platform::UniqueFd;

constexpr auto kStopGrace = 3s;

// Owners of the argument structures of posix_spawn.
class TSpawnFileActions {
public:
    TSpawnFileActions() { posix_spawn_file_actions_init(&FActions); }
    TSpawnFileActions(const TSpawnFileActions&) = delete;
    TSpawnFileActions& operator=(const TSpawnFileActions&) = delete;
    ~TSpawnFileActions() { posix_spawn_file_actions_destroy(&FActions); }
    void Redirect(int AFrom, int ATo) {
        if (AFrom >= 0) {
            posix_spawn_file_actions_adddup2(&FActions, AFrom, ATo);
        }
    }
    const posix_spawn_file_actions_t* Get() const { return &FActions; }

private:
    posix_spawn_file_actions_t FActions;
};

class TSpawnAttributes {
public:
    // The child gets a process group of its own, no blocked signals and the default dispositions
    // of the signals that tests send or that this process may ignore.
    TSpawnAttributes() {
        posix_spawnattr_init(&FAttributes);
        posix_spawnattr_setflags(
            &FAttributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&FAttributes, 0);
        sigset_t set;
        sigemptyset(&set);
        posix_spawnattr_setsigmask(&FAttributes, &set);
        for (const int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
            sigaddset(&set, signal);
        }
        posix_spawnattr_setsigdefault(&FAttributes, &set);
    }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
    ~TSpawnAttributes() { posix_spawnattr_destroy(&FAttributes); }
    const posix_spawnattr_t* Get() const { return &FAttributes; }

private:
    posix_spawnattr_t FAttributes;
};

std::vector<char*> NullTerminated(std::vector<std::string>& AStrings) {
    std::vector<char*> pointers;
    for (std::string& string : AStrings) {
        pointers.push_back(string.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

TPipe MakePipe() {
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
        ThrowErrno("pipe");
    }
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

UniqueFd OpenForOutput(const std::filesystem::path& APath) {
    UniqueFd fd(::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        ThrowErrno("cannot open " + APath.string());
    }
    return fd;
}

std::optional<std::string> ReadLine(int AFd, std::chrono::milliseconds ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            return std::nullopt;
        }
        pollfd descriptor{.fd = AFd, .events = POLLIN, .revents = 0};
        const int ready = ::poll(&descriptor, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            ThrowErrno("poll");
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t count = ::read(AFd, buffer, sizeof buffer);
        if (count < 0 && errno != EINTR) {
            ThrowErrno("read");
        }
        if (count == 0) {
            return std::nullopt;
        }
        if (count > 0) {
            text.append(buffer, static_cast<size_t>(count));
        }
    }
    return text.substr(0, text.find('\n'));
}

TChildProcess::TChildProcess(std::vector<std::string> AArguments,
                             std::map<std::string, std::string> AEnvironment, TStdio AStdio) {
    if (AArguments.empty()) {
        throw std::invalid_argument("a child process needs a program");
    }
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (!AEnvironment.contains(std::string(variable.substr(0, variable.find('='))))) {
            environment.emplace_back(variable);
        }
    }
    for (const auto& [name, value] : AEnvironment) {
        environment.push_back(name + "=" + value);
    }

    TSpawnFileActions actions;
    actions.Redirect(AStdio.In, STDIN_FILENO);
    actions.Redirect(AStdio.Out, STDOUT_FILENO);
    actions.Redirect(AStdio.Err, STDERR_FILENO);
    const TSpawnAttributes attributes;
    std::vector<char*> argv = NullTerminated(AArguments);
    std::vector<char*> envp = NullTerminated(environment);
    const auto spawn =
        AArguments.front().find('/') == std::string::npos ? posix_spawnp : posix_spawn;
    const int error =
        spawn(&FPid, argv.front(), actions.Get(), attributes.Get(), argv.data(), envp.data());
    if (error != 0) {
        FPid = -1;
        throw std::system_error(error, std::generic_category(), "cannot start " + AArguments[0]);
    }
}

TChildProcess::~TChildProcess() {
    if (FPid <= 0) {
        return;
    }
    if (!FExitCode) {
        SignalGroup(SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
        while (!Reap(WNOHANG) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        Kill();
    }
    // Whatever the child left behind in its group.
    SignalGroup(SIGKILL);
}

std::optional<int> TChildProcess::Wait(std::chrono::milliseconds ATimeout) {
    WaitUntil([this] { return Reap(WNOHANG); }, ATimeout);
    return FExitCode;
}

int TChildProcess::Join() {
    while (!Reap(0)) {
    }
    return *FExitCode;
}

void TChildProcess::Kill() {
    if (FExitCode) {
        return;
    }
    SignalGroup(SIGKILL);
    Join();
}

bool TChildProcess::Reap(int AFlags) {
    if (FExitCode) {
        return true;
    }
    int status = 0;
    const pid_t result = ::wait4(FPid, &status, AFlags, &FUsage);
    if (result == FPid) {
        FExitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        return true;
    }
    if (result < 0 && errno == ECHILD) {
        FExitCode = -1;  // reaped elsewhere; its exit code is lost
        return true;
    }
    return false;
}

void TChildProcess::SignalGroup(int ASignal) const {
    if (FPid > 0) {
        ::kill(-FPid, ASignal);
    }
}

}  // namespace korvane::test
