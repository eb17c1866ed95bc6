#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvane::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kMinisign = "/usr/bin/minisign";
// Not the first python3 on PATH: a version manager's shim may stand in for it.
constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartTimeout = 15s;
constexpr auto kStopGrace = 3s;

[[noreturn]] void ThrowErrno(const std::string& AWhat) {
    throw std::system_error(errno, std::generic_category(), AWhat);
}

class TFd {
public:
    explicit TFd(int AFd) : FFd(AFd) {}
    TFd(TFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (FFd >= 0) {
            ::close(FFd);
        }
    }
    int Get() const { return FFd; }

private:
    int FFd;
};

TFd OpenForOutput(const std::filesystem::path& APath) {
    TFd fd(::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        ThrowErrno("cannot open " + APath.string());
    }
    return fd;
}

std::string ReadFileIfAny(const std::filesystem::path& APath) {
    try {
        return ReadFile(APath);
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<std::string> Lines(const std::string& AText) {
    std::vector<std::string> lines;
    std::istringstream stream(AText);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(std::move(line));
    }
    return lines;
}

sockaddr_in Loopback(int APort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(APort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

TFd BoundSocket(int APort) {
    TFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) {
        ThrowErrno("socket");
    }
    const sockaddr_in address = Loopback(APort);
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ThrowErrno("bind to 127.0.0.1:" + std::to_string(APort));
    }
    return socket;
}

int PortOf(const TFd& ASocket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(ASocket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowErrno("getsockname");
    }
    return ntohs(address.sin_port);
}

// Ports that are free now; all are held until each has been found, so they differ.
std::array<int, 2> FreePorts() {
    const TFd first = BoundSocket(0);
    const TFd second = BoundSocket(0);
    return {PortOf(first), PortOf(second)};
}

bool AcceptsConnections(int APort) {
    const TFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(APort);
    return socket.Get() >= 0 && ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address),
                                          sizeof address) == 0;
}

// Quoted for nginx's configuration syntax.
std::string Quoted(const std::filesystem::path& APath) {
    std::string quoted = "\"";
    for (const char c : APath.string()) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + '"';
}

std::string WithLeadingSlash(std::string_view APath) {
    return (APath.starts_with('/') ? "" : "/") + std::string(APath);
}

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

// Restores the owner's access to every directory below `ADirectory`, so that everything in it can
// be removed; symbolic links are not followed.
void MakeRemovable(const std::filesystem::path& ADirectory) {
    std::error_code error;
    std::filesystem::permissions(ADirectory, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    for (const auto& entry : std::filesystem::directory_iterator(ADirectory, error)) {
        if (entry.symlink_status(error).type() == std::filesystem::file_type::directory) {
            MakeRemovable(entry.path());
        }
    }
}

// The first line that `AFd` delivers within `ATimeout`, without its line feed.
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

// The complete JSON lines of the scripted server's log.
std::vector<QJsonObject> LogRecords(const std::filesystem::path& APath) {
    std::vector<QJsonObject> records;
    const std::string text = ReadFileIfAny(APath);
    // A line still being written has no line feed yet.
    const std::string complete = text.substr(0, text.rfind('\n') + 1);
    for (const std::string& line : Lines(complete)) {
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        if (document.isObject()) {
            records.push_back(document.object());
        }
    }
    return records;
}

}  // namespace

std::filesystem::path SourceDir() {
    return KORVANE_TEST_SOURCE_DIR;
}
std::filesystem::path PkiDir() {
    return KORVANE_TEST_PKI_DIR;
}
std::filesystem::path ProgramPath() {
    return KORVANE_PROGRAM_PATH;
}

std::filesystem::path KeysDir() {
    return KORVANE_TEST_KEYS_DIR;
}

std::filesystem::path PrivateTempDir(const std::filesystem::path& ATmpdir, uid_t AUser) {
    return ATmpdir / ("korvane-" + std::to_string(AUser));
}

std::optional<TUser> OtherUser() {
    const passwd* const entry = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    if (entry == nullptr) {
        return std::nullopt;
    }
    return TUser{.Uid = entry->pw_uid, .Gid = entry->pw_gid};
}

namespace {
void BecomeRootAgain() {
    if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0) {
        std::abort();  // carrying on as another user would spoil every later test
    }
}
}  // namespace

TActingUser::TActingUser(TUser AUser) {
    if (::setresgid(AUser.Gid, AUser.Gid, 0) != 0 || ::setresuid(AUser.Uid, AUser.Uid, 0) != 0) {
        const int error = errno;
        BecomeRootAgain();
        throw std::system_error(error, std::generic_category(), "cannot act as another user");
    }
}

TActingUser::~TActingUser() {
    BecomeRootAgain();
}

void SignFile(const std::filesystem::path& AFile, std::string_view AKey,
              const std::vector<std::string>& AOptions) {
    std::vector<std::string> arguments{
        kMinisign, "-S",           "-s", (KeysDir() / (std::string(AKey) + ".key")).string(),
        "-m",      AFile.string(), "-x", AFile.string() + ".minisig"};
    arguments.insert(arguments.end(), AOptions.begin(), AOptions.end());
    const TFd quiet = OpenForOutput("/dev/null");
    TChildProcess minisign(std::move(arguments), {}, TStdio{.In = -1, .Out = quiet.Get()});
    if (minisign.Wait(30s) != 0) {
        throw std::runtime_error("minisign could not sign " + AFile.string());
    }
}

// TTempDir

TTempDir::TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        ThrowErrno("cannot make a temporary directory");
    }
    FPath = pattern;
}

TTempDir::~TTempDir() {
    MakeRemovable(FPath);
    std::error_code error;
    std::filesystem::remove_all(FPath, error);
}

std::string Pattern(std::size_t ASize) {
    std::string bytes(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

std::string RecordingSetupProgram(const std::filesystem::path& ARecord, std::string_view ALabel,
                                  std::size_t ASize) {
    const std::string record = ARecord.string();
    std::string program = "#!/bin/sh\nprintf '%s\\n' '" + std::string(ALabel) +
                          "' \"$#\" \"$@\" > '" + record + ".part'\nmv '" + record + ".part' '" +
                          record + "'\nexit 0\n";
    while (program.size() < ASize) {
        program += "# padding to make the download last a while\n";
    }
    return program;
}

TScopedEnvironment::TScopedEnvironment(std::string AName, const std::optional<std::string>& AValue)
    : FName(std::move(AName)) {
    if (const char* old = std::getenv(FName.c_str())) {
        FOld = old;
    }
    if (AValue) {
        ::setenv(FName.c_str(), AValue->c_str(), 1);
    } else {
        ::unsetenv(FName.c_str());
    }
}

TScopedEnvironment::~TScopedEnvironment() {
    if (FOld) {
        ::setenv(FName.c_str(), FOld->c_str(), 1);
    } else {
        ::unsetenv(FName.c_str());
    }
}

void WriteFile(const std::filesystem::path& APath, std::string_view AContent) {
    std::ofstream file(APath, std::ios::binary | std::ios::trunc);
    file.write(AContent.data(), static_cast<std::streamsize>(AContent.size()));
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + APath.string());
    }
}

std::string ReadFile(const std::filesystem::path& APath) {
    std::ifstream file(APath, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + APath.string());
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// TChildProcess

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

void TChildProcess::Kill() {
    if (FExitCode) {
        return;
    }
    SignalGroup(SIGKILL);
    while (!Reap(0)) {
    }
}

bool TChildProcess::Reap(int AFlags) {
    if (FExitCode) {
        return true;
    }
    int status = 0;
    const pid_t result = ::waitpid(FPid, &status, AFlags);
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

void detail::PollPause() {
    const QCoreApplication* application = QCoreApplication::instance();
    if (application != nullptr && application->thread() == QThread::currentThread()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    std::this_thread::sleep_for(5ms);
}

// TNginx

TNginx::TNginx(TOptions AOptions) : FOptions(std::move(AOptions)) {
    for (int attempt = 1;; ++attempt) {
        const std::array<int, 2> free = FreePorts();
        FHttpsPort = FOptions.HttpsPort != 0 ? FOptions.HttpsPort : free[0];
        FHttpPort = FOptions.HttpPort != 0 ? FOptions.HttpPort : free[1];
        if (Start()) {
            return;
        }
        const std::string diagnostics = Diagnostics();
        FProcess.reset();
        // A port found free can be taken by someone else before nginx binds it: then try others.
        const auto lost = [&](int AAsked, int APort) {
            return AAsked == 0 && diagnostics.find("bind() to 127.0.0.1:" + std::to_string(APort) +
                                                   " failed") != std::string::npos;
        };
        if (attempt == 3 ||
            !(lost(FOptions.HttpsPort, FHttpsPort) || lost(FOptions.HttpPort, FHttpPort))) {
            throw std::runtime_error("nginx did not start\n" + diagnostics);
        }
    }
}

TNginx::~TNginx() = default;

bool TNginx::Start() {
    std::error_code ignored;
    std::filesystem::remove(FDir / "error.log", ignored);
    std::filesystem::remove(FDir / "nginx.pid", ignored);
    WriteConfig();
    const TFd output = OpenForOutput(FDir / "stderr.log");
    FProcess = std::make_unique<TChildProcess>(
        std::vector<std::string>{kNginx, "-p", FDir.Path().string() + "/", "-c",
                                 (FDir / "nginx.conf").string(), "-e",
                                 (FDir / "error.log").string()},
        std::map<std::string, std::string>{}, TStdio{.Out = output.Get(), .Err = output.Get()});

    // The pid file appears once the listening sockets are open; probing the ports alone could
    // find someone else's server on a port given by the test.
    const std::string pid = std::to_string(FProcess->Pid());
    bool ready = false;
    WaitUntil(
        [&] {
            if (FProcess->Wait(0ms)) {
                return true;
            }
            ready = ReadFileIfAny(FDir / "nginx.pid").starts_with(pid + "\n") &&
                    AcceptsConnections(FHttpsPort) && AcceptsConnections(FHttpPort);
            return ready;
        },
        kStartTimeout);
    return ready;
}

void TNginx::WriteConfig() const {
    const std::string root = "root " + Quoted(FOptions.DocRoot) + ";\n";
    const std::string directives = FOptions.ServerDirectives + "\n";
    std::string config =
        "daemon off;\n"
        // A single process keeps the invoking user, also root, and so can read the temporary
        // directory it was given.
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid " +
        Quoted(FDir / "nginx.pid") +
        ";\n"
        "error_log " +
        Quoted(FDir / "error.log") +
        " notice;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        // Every file is application/octet-stream unless a test's directives say otherwise.
        "types {}\n"
        "default_type application/octet-stream;\n"
        "log_format korvane '$connection $status \"$request\"';\n"
        "access_log " +
        Quoted(FDir / "access.log") + " korvane;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        config += std::string(temp) + "_temp_path " + Quoted(FDir / (std::string(temp) + "_temp")) +
                  ";\n";
    }
    config +=
        "sendfile on;\n"
        "keepalive_timeout 65;\n"
        "server {\n"
        "listen 127.0.0.1:" +
        std::to_string(FHttpsPort) +
        " ssl;\n"
        "ssl_certificate " +
        Quoted(PkiDir() / "localhost.pem") +
        ";\n"
        "ssl_certificate_key " +
        Quoted(PkiDir() / "localhost.key") + ";\n" + root;
    if (FOptions.PlainHttpOnHttpsPort) {
        // nginx flags plain HTTP on a TLS port as 497; handling it as an internal redirect to the
        // same address serves it like any other request (and then closes the connection).
        config += "error_page 497 = $request_uri;\n";
    }
    config += directives +
              "}\n"
              "server {\n"
              "listen 127.0.0.1:" +
              std::to_string(FHttpPort) + ";\n" + root + directives +
              "}\n"
              "}\n";
    WriteFile(FDir / "nginx.conf", config);
}

std::string TNginx::Diagnostics() const {
    return "--- nginx.conf\n" + ReadFileIfAny(FDir / "nginx.conf") + "--- output\n" +
           ReadFileIfAny(FDir / "stderr.log") + "--- error.log\n" +
           ReadFileIfAny(FDir / "error.log");
}

int TNginx::HttpsPort() const {
    return FHttpsPort;
}
int TNginx::HttpPort() const {
    return FHttpPort;
}

std::string TNginx::HttpsUrl(std::string_view APath) const {
    return "https://127.0.0.1:" + std::to_string(FHttpsPort) + WithLeadingSlash(APath);
}

std::string TNginx::HttpUrl(std::string_view APath) const {
    return "http://127.0.0.1:" + std::to_string(FHttpPort) + WithLeadingSlash(APath);
}

std::vector<std::string> TNginx::AccessLog() const {
    return Lines(ReadFileIfAny(FDir / "access.log"));
}

// TScriptedServer

namespace {

const char* ListenerName(TScriptedServer::TListener AListener) {
    using TListener = TScriptedServer::TListener;
    switch (AListener) {
        case TListener::Plain:
            return "plain";
        case TListener::Tls:
            return "tls";
        case TListener::TlsOtherHost:
            return "tls-otherhost";
        case TListener::TlsSelfSigned:
            return "tls-selfsigned";
        case TListener::Tls10Only:
            return "tls10";
        case TListener::TlsRogue:
            return "tls-rogue";
        case TListener::Dual:
            return "dual";
    }
    return "dual";
}

}  // namespace

TScriptedServer::TScriptedServer() : TScriptedServer(TOptions{}) {}

TScriptedServer::TScriptedServer(TOptions AOptions) {
    std::vector<std::string> arguments{
        kPython,       (SourceDir() / "support" / "scripted_server.py").string(),
        "--pki",       PkiDir().string(),
        "--log",       (FDir / "requests.log").string(),
        "--dual-port", std::to_string(AOptions.DualPort)};
    if (AOptions.DualPortListener != TListener::Dual) {
        arguments.insert(arguments.end(),
                         {"--dual-port-listener", ListenerName(AOptions.DualPortListener)});
    }
    if (!AOptions.SetupScenario.empty()) {
        arguments.insert(arguments.end(), {"--setup", AOptions.SetupScenario});
    }
    if (!AOptions.SignatureScenario.empty()) {
        arguments.insert(arguments.end(), {"--signature", AOptions.SignatureScenario});
    }
    if (!AOptions.DocRoot.empty()) {
        arguments.insert(arguments.end(), {"--docroot", AOptions.DocRoot.string()});
    }

    std::array<int, 2> pipe{-1, -1};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        ThrowErrno("pipe");
    }
    const TFd readEnd(pipe[0]);
    {
        const TFd writeEnd(pipe[1]);
        const TFd errors = OpenForOutput(FDir / "stderr.log");
        FProcess = std::make_unique<TChildProcess>(
            std::move(arguments), std::map<std::string, std::string>{{"PYTHONUNBUFFERED", "1"}},
            TStdio{.Out = writeEnd.Get(), .Err = errors.Get()});
    }

    const std::optional<std::string> line = ReadLine(readEnd.Get(), kStartTimeout);
    const QJsonDocument ports =
        QJsonDocument::fromJson(QByteArray::fromStdString(line.value_or(std::string())));
    constexpr TListener listeners[] = {TListener::Plain,        TListener::Tls,
                                       TListener::TlsOtherHost, TListener::TlsSelfSigned,
                                       TListener::Tls10Only,    TListener::TlsRogue,
                                       TListener::Dual};
    for (const TListener listener : listeners) {
        const int port = ports.object().value(QLatin1String(ListenerName(listener))).toInt();
        if (port <= 0) {
            throw std::runtime_error("the scripted server did not start\n--- output\n" +
                                     line.value_or("(nothing)") + "\n" + Diagnostics());
        }
        FPorts[listener] = port;
    }
}

TScriptedServer::~TScriptedServer() = default;

std::string TScriptedServer::Diagnostics() const {
    return "--- errors\n" + ReadFileIfAny(FDir / "stderr.log");
}

int TScriptedServer::Port(TListener AListener) const {
    return FPorts.at(AListener);
}

std::string TScriptedServer::Url(TListener AListener, std::string_view APath) const {
    const char* scheme = AListener == TListener::Plain ? "http" : "https";
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(Port(AListener)) +
           WithLeadingSlash(APath);
}

std::vector<std::string> TScriptedServer::Requests() const {
    std::vector<std::string> requests;
    for (const QJsonObject& record : LogRecords(FDir / "requests.log")) {
        if (record.value(QLatin1String("event")).toString() == QLatin1String("request")) {
            // One code point per byte of the request.
            requests.push_back(
                record.value(QLatin1String("request")).toString().toLatin1().toStdString());
        }
    }
    return requests;
}

int TScriptedServer::ConnectionCount() const {
    int count = 0;
    for (const QJsonObject& record : LogRecords(FDir / "requests.log")) {
        if (record.value(QLatin1String("event")).toString() == QLatin1String("connection")) {
            ++count;
        }
    }
    return count;
}

// TTinyproxy

TTinyproxy::TTinyproxy() : TTinyproxy(TOptions{}) {}

TTinyproxy::TTinyproxy(TOptions AOptions) {
    // A port found free can be taken by someone else before tinyproxy binds it: then try others.
    for (int attempt = 1; !Start(AOptions); ++attempt) {
        if (attempt == 3) {
            throw std::runtime_error("tinyproxy did not start\n" + Diagnostics());
        }
    }
}

TTinyproxy::~TTinyproxy() = default;

bool TTinyproxy::Start(const TOptions& AOptions) {
    FPort = FreePorts()[0];
    std::vector<std::string> arguments{(SourceDir() / "support" / "tinyproxy.sh").string(),
                                       FDir.Path().string(), std::to_string(FPort)};
    if (!AOptions.User.empty()) {
        arguments.insert(arguments.end(), {AOptions.User, AOptions.Password});
    }
    const TFd output = OpenForOutput(FDir / "stderr.log");
    FProcess =
        std::make_unique<TChildProcess>(std::move(arguments), std::map<std::string, std::string>{},
                                        TStdio{.Out = output.Get(), .Err = output.Get()});
    bool ready = false;
    WaitUntil(
        [&] {
            if (FProcess->Wait(0ms)) {
                return true;
            }
            // The proxy logs that it is set up only once it listens.
            ready = ReadFileIfAny(FDir / "tinyproxy.log").find("Reloading config file finished") !=
                        std::string::npos &&
                    AcceptsConnections(FPort);
            return ready;
        },
        kStartTimeout);
    return ready;
}

std::string TTinyproxy::Diagnostics() const {
    return "--- output\n" + ReadFileIfAny(FDir / "stderr.log") + "--- tinyproxy.log\n" +
           ReadFileIfAny(FDir / "tinyproxy.log");
}

std::string TTinyproxy::Url() const {
    return "http://127.0.0.1:" + std::to_string(FPort);
}

std::vector<std::string> TTinyproxy::Requests() const {
    // "CONNECT   Dec 09 13:15:39.924 [389]: Request (file descriptor 5): CONNECT 127.0.0.1:1
    // HTTP/1.1"
    constexpr std::string_view marker = "]: Request (file descriptor ";
    std::vector<std::string> requests;
    for (const std::string& line : Lines(ReadFileIfAny(FDir / "tinyproxy.log"))) {
        const std::size_t at = line.find(marker);
        const std::size_t colon = at == std::string::npos ? at : line.find("): ", at);
        if (colon != std::string::npos) {
            requests.push_back(line.substr(colon + 3));
        }
    }
    return requests;
}

}  // namespace korvane::test
