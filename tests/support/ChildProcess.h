// Child processes started without a shell, and the descriptors that become their standard streams.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace korvane::test {

// Descriptors of this process that become a child's standard streams; -1: inherited.
struct TStdio {
    int In = -1;
    int Out = -1;
    int Err = -1;
};

// A pipe whose ends this process's children do not inherit unless given as a standard stream.
struct TPipe {
    platform::UniqueFd ReadEnd;
    platform::UniqueFd WriteEnd;
};
TPipe MakePipe();

// `APath` opened for writing, created or emptied, for a child's output.
platform::UniqueFd OpenForOutput(const std::filesystem::path& APath);

// The first line that `AFd` delivers within `ATimeout`, without its line feed.
std::optional<std::string> ReadLine(int AFd, std::chrono::milliseconds ATimeout);

// A child process started without a shell, in a process group of its own; the group is killed and
// the child reaped when it goes out of scope.
class TChildProcess {
public:
    // `AArguments`' program is looked up on PATH unless it names a path. `AEnvironment` entries are
    // added to (or replace those of) this process's environment.
    explicit TChildProcess(std::vector<std::string> AArguments,
                           std::map<std::string, std::string> AEnvironment = {},
                           TStdio AStdio = {});
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;
    ~TChildProcess();

    pid_t Pid() const { return FPid; }
    // The exit code, or nullopt when the process has not ended within `ATimeout`
    // (or was ended by a signal: then 128 + the signal number).
    std::optional<int> Wait(std::chrono::milliseconds ATimeout);
    // Blocks until the process has ended; its exit code as Wait gives it.
    int Join();
    // Kills the whole process group at once and reaps the child.
    void Kill();
    // The resources that the ended child used (processor times, peak memory); zeros before.
    const rusage& Usage() const { return FUsage; }

private:
    bool Reap(int AFlags);
    void SignalGroup(int ASignal) const;

    pid_t FPid = -1;
    std::optional<int> FExitCode;
    rusage FUsage{};
};

}  // namespace korvane::test
