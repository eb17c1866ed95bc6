#include "support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include "support/SystemError.h"

namespace korvane::test {
namespace {

using namespace std::chrono_literals;
using platform::UniqueFd;

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kMinisign = "/usr/bin/minisign";
// Not the first python3 on PATH: a version manager's shim may stand in for it.
constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartTimeout = 15s;

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

std::filesystem::path GuessableTempDir(const std::filesystem::path& ATmpdir, uid_t AUser) {
    return ATmpdir / ("korvane-" + std::to_string(AUser));
}

std::vector<std::filesystem::path> RunFolders(const std::filesystem::path& ATmpdir, uid_t AUser) {
    const std::string prefix = "korvane-" + std::to_string(AUser) + "-";
    std::vector<std::filesystem::path> folders;
    for (const auto& entry : std::filesystem::directory_iterator(ATmpdir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && name.size() == prefix.size() + 6 && entry.is_directory() &&
            !entry.is_symlink()) {
            folders.push_back(entry.path());
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

std::filesystem::path RunTarget(const std::filesystem::path& ATmpdir, uid_t AUser) {
    const std::vector<std::filesystem::path> folders = RunFolders(ATmpdir, AUser);
    if (folders.size() > 1) {
        throw std::runtime_error(std::to_string(folders.size()) + " run folders in " +
                                 ATmpdir.string());
    }
    const std::filesystem::path folder =
        folders.empty() ? ATmpdir / "no run folder" : folders.front();
    return folder / "KorvaneSetup.exe";
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
    const UniqueFd quiet = OpenForOutput("/dev/null");
    TChildProcess minisign(std::move(arguments), {}, TStdio{.In = -1, .Out = quiet.Get()});
    if (minisign.Wait(30s) != 0) {
        throw std::runtime_error("minisign could not sign " + AFile.string());
    }
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
    std::string program = "#!/bin/sh\npwd -P > '" + record + ".directory'\nprintf '%s\\n' '" +
                          std::string(ALabel) + "' \"$#\" \"$@\" > '" + record + ".part'\nmv '" +
                          record + ".part' '" + record + "'\nexit 0\n";
    while (program.size() < ASize) {
        program += "# padding to make the download last a while\n";
    }
    return program;
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

TNginx::TOptions TNginx::OnDownloadPort(std::filesystem::path ADocRoot, std::string ADirectives,
                                        bool APlainHttpToo) {
    return {.DocRoot = std::move(ADocRoot),
            .HttpsPort = kDownloadPort,
            .PlainHttpOnHttpsPort = APlainHttpToo,
            .ServerDirectives = std::move(ADirectives)};
}

bool TNginx::Start() {
    std::error_code ignored;
    std::filesystem::remove(FDir / "error.log", ignored);
    std::filesystem::remove(FDir / "nginx.pid", ignored);
    WriteConfig();
    const UniqueFd output = OpenForOutput(FDir / "stderr.log");
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

    TPipe output = MakePipe();
    {
        const UniqueFd errors = OpenForOutput(FDir / "stderr.log");
        FProcess = std::make_unique<TChildProcess>(
            std::move(arguments), std::map<std::string, std::string>{{"PYTHONUNBUFFERED", "1"}},
            TStdio{.Out = output.WriteEnd.Get(), .Err = errors.Get()});
        output.WriteEnd.Reset();
    }

    const std::optional<std::string> line = ReadLine(output.ReadEnd.Get(), kStartTimeout);
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

// TKerberosRealm

TKerberosRealm::TKerberosRealm() {
    // Squid's own user reads the proxy's service key: the way there is open.
    std::filesystem::permissions(FDir.Path(), std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
    const int port = FreePorts()[0];
    const UniqueFd output = OpenForOutput(FDir / "output.log");
    FProcess = std::make_unique<TChildProcess>(
        std::vector<std::string>{(SourceDir() / "support" / "kerberos-realm.sh").string(),
                                 (FDir / "realm").string(), std::to_string(port)},
        std::map<std::string, std::string>{}, TStdio{.Out = output.Get(), .Err = output.Get()});
    if (!WaitUntil([&] { return FProcess->Wait(0ms) || AcceptsConnections(port); },
                   kStartTimeout) ||
        !AcceptsConnections(port)) {
        throw std::runtime_error("the KDC did not start\n" + ReadFileIfAny(FDir / "output.log"));
    }
}

TKerberosRealm::~TKerberosRealm() = default;

void TKerberosRealm::GetTicket(const std::filesystem::path& ACache) const {
    const UniqueFd password(::open((FDir / "realm" / "password").c_str(), O_RDONLY | O_CLOEXEC));
    if (!password) {
        throw ErrnoError("cannot open the user's password");
    }
    const UniqueFd quiet = OpenForOutput("/dev/null");  // kinit's prompt
    TChildProcess kinit(
        {"/usr/bin/kinit", "korvane"},
        {{"KRB5_CONFIG", Config().string()}, {"KRB5CCNAME", "FILE:" + ACache.string()}},
        TStdio{.In = password.Get(), .Out = quiet.Get(), .Err = quiet.Get()});
    if (kinit.Wait(30s) != 0) {
        throw std::runtime_error("kinit did not get a ticket");
    }
}

// TSquid

TSquid::TSquid(const TKerberosRealm& ARealm) {
    Start({"negotiate", ARealm.ProxyKeytab().string()},
          {{"KRB5_CONFIG", ARealm.Config().string()}});
}

TSquid::TSquid(const std::string& AUser, const std::string& APassword) {
    Start({"basic", AUser, APassword}, {});
}

TSquid::~TSquid() = default;

void TSquid::Start(std::vector<std::string> AArguments,
                   std::map<std::string, std::string> AEnvironment) {
    // Squid's own user reads its configuration and writes its logs: the way there is open.
    std::filesystem::permissions(FDir.Path(), std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
    FPort = FreePorts()[0];
    std::vector<std::string> arguments{(SourceDir() / "support" / "squid.sh").string(),
                                       (FDir / "squid").string(), std::to_string(FPort)};
    arguments.insert(arguments.end(), AArguments.begin(), AArguments.end());
    const UniqueFd output = OpenForOutput(FDir / "output.log");
    FProcess = std::make_unique<TChildProcess>(std::move(arguments), std::move(AEnvironment),
                                               TStdio{.Out = output.Get(), .Err = output.Get()});
    if (!WaitUntil([&] { return FProcess->Wait(0ms) || AcceptsConnections(FPort); },
                   kStartTimeout) ||
        !AcceptsConnections(FPort)) {
        throw std::runtime_error("Squid did not start\n" + ReadFileIfAny(FDir / "output.log") +
                                 ReadFileIfAny(FDir / "squid" / "logs" / "cache.log"));
    }
}

std::string TSquid::Url() const {
    return "http://localhost:" + std::to_string(FPort);
}

std::vector<std::string> TSquid::AccessLog() const {
    return Lines(ReadFileIfAny(FDir / "squid" / "logs" / "access.log"));
}

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
    const UniqueFd output = OpenForOutput(FDir / "stderr.log");
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
