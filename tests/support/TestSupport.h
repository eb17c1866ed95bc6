// Real parts for the tests: temporary directories, child processes, and local servers (nginx from
// the system, and a scripted server for what nginx cannot do), all on 127.0.0.1 only.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Loopback.h"
#include "support/WaitUntil.h"

namespace korvane::test {

// The port on 127.0.0.1 that the test build downloads the setup program from.
inline constexpr int kDownloadPort = KORVANE_TEST_PORT;

// The tests' source directory, the test certificates (ca.pem; localhost.pem/.key for 127.0.0.1 and
// localhost; otherhost.pem/.key for other.example; selfsigned.pem/.key), the built program.
std::filesystem::path SourceDir();
std::filesystem::path PkiDir();
std::filesystem::path ProgramPath();

// The test signing keys: publisher.pub/.key, the key the test build trusts; other.pub/.key.
std::filesystem::path KeysDir();

// The name in `ATmpdir` that anyone can work out for `AUser`: what another user may take first.
std::filesystem::path GuessableTempDir(const std::filesystem::path& ATmpdir, uid_t AUser);

// The folders that runs of `AUser` made in `ATmpdir` ("korvane-<uid>-XXXXXX"), sorted.
std::vector<std::filesystem::path> RunFolders(const std::filesystem::path& ATmpdir, uid_t AUser);

// Where the run of `AUser` in `ATmpdir` downloads the setup program: in its one run folder, or in
// none that exists when there is no such folder. Raises when there are several.
std::filesystem::path RunTarget(const std::filesystem::path& ATmpdir, uid_t AUser);

// A user of the system, as files and processes carry it.
struct TUser {
    uid_t Uid = 0;
    gid_t Gid = 0;
};

// The user nobody, when this process may act as another user (it runs as root); else nullopt.
std::optional<TUser> OtherUser();

// This process is `AUser`, really and effectively, until it goes: the program names its own
// directories after the real user. The saved ids stay root's, so that root comes back after.
class TActingUser {
public:
    explicit TActingUser(TUser AUser);
    TActingUser(const TActingUser&) = delete;
    TActingUser& operator=(const TActingUser&) = delete;
    ~TActingUser();
};

// Signs `AFile` with the test key `AKey` into `AFile`.minisig, as the publisher does, with
// minisign's `AOptions` besides (-l: the legacy form; -t TEXT: the trusted comment).
void SignFile(const std::filesystem::path& AFile, std::string_view AKey = "publisher",
              const std::vector<std::string>& AOptions = {});

// The bytes of the scripted server's counted bodies (/bytes/N, /cut/N/M...): byte i is i % 251.
std::string Pattern(std::size_t ASize);

// A stand-in setup program: a shell script that writes `ALabel`, its argument count and its
// arguments, one a line, into `ARecord`, all at once so that a reader never finds half of it, and
// before that its working directory into `ARecord`.directory.
// Comment lines pad it to at least `ASize` bytes, for a download that lasts a while.
std::string RecordingSetupProgram(const std::filesystem::path& ARecord, std::string_view ALabel,
                                  std::size_t ASize = 0);

// nginx on 127.0.0.1, serving `DocRoot` over HTTPS (localhost certificate) and plain HTTP.
class TNginx {
public:
    struct TOptions {
        std::filesystem::path DocRoot;
        int HttpsPort = 0;                  // 0: any free port
        int HttpPort = 0;                   // 0: any free port
        bool PlainHttpOnHttpsPort = false;  // also answer plain HTTP on the HTTPS port
        std::string ServerDirectives;       // added inside both server blocks
    };
    explicit TNginx(TOptions AOptions);
    // The download port, serving `ADocRoot` over HTTPS, and with `APlainHttpToo` plain HTTP on the
    // same port, `ADirectives` added.
    static TOptions OnDownloadPort(std::filesystem::path ADocRoot, std::string ADirectives = {},
                                   bool APlainHttpToo = false);
    TNginx(const TNginx&) = delete;
    TNginx& operator=(const TNginx&) = delete;
    ~TNginx();

    int HttpsPort() const;
    int HttpPort() const;
    std::string HttpsUrl(std::string_view APath) const;  // https://127.0.0.1:port/APath
    std::string HttpUrl(std::string_view APath) const;
    // One line per request answered so far: "<connection serial> <status> \"<request line>\"".
    // The serials also count the connections made to find out that nginx was ready.
    std::vector<std::string> AccessLog() const;

private:
    bool Start();
    void WriteConfig() const;
    std::string Diagnostics() const;

    TOptions FOptions;
    TTempDir FDir;
    int FHttpsPort = 0;
    int FHttpPort = 0;
    std::unique_ptr<TChildProcess> FProcess;
};

// nginx directives that answer the setup program and its signature over plain HTTP from
// over-http/ of the document root, so that a test tells by the program started which scheme it
// came over.
inline constexpr std::string_view kOnePerSchemeDirectives = R"(if ($https = "") {
    rewrite ^/KorvaneSetup\.exe(\.minisig)?$ /over-http/KorvaneSetup.exe$1 last;
})";

// The scripted server: answers according to the request's path (see scripted_server.py for the
// list of scenarios). One process, several listeners.
class TScriptedServer {
public:
    enum class TListener {
        Plain,          // plain HTTP
        Tls,            // TLS 1.2+, certificate for 127.0.0.1 from the test CA
        TlsOtherHost,   // certificate for other.example from the test CA
        TlsSelfSigned,  // self-signed certificate for 127.0.0.1
        Tls10Only,      // accepts TLS 1.0 only
        TlsRogue,       // certificate for 127.0.0.1 from a second CA that nothing trusts
        Dual,           // TLS (as Tls) or plain HTTP, told apart by the first byte
    };
    struct TOptions {
        int DualPort = 0;           // 0: any free port; kDownloadPort for the download run
        std::string SetupScenario;  // a path: "/KorvaneSetup.exe" is answered as if it were this
        std::filesystem::path DocRoot;  // served under /file/<name>
        // The listener that takes DualPort; Dual then takes a free port.
        TListener DualPortListener = TListener::Dual;
        std::string SignatureScenario{};  // as SetupScenario, for "/KorvaneSetup.exe.minisig"
    };
    TScriptedServer();
    explicit TScriptedServer(TOptions AOptions);
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;
    ~TScriptedServer();

    int Port(TListener AListener) const;
    // "http://" or "https://" + "127.0.0.1:port" + APath, as fits the listener (Dual: https).
    std::string Url(TListener AListener, std::string_view APath) const;
    // Every request received so far, raw (request line and headers, up to the blank line).
    std::vector<std::string> Requests() const;
    // How many connections the server has accepted so far.
    int ConnectionCount() const;

private:
    std::string Diagnostics() const;

    TTempDir FDir;
    std::unique_ptr<TChildProcess> FProcess;
    std::map<TListener, int> FPorts;
};

// A Kerberos realm of the test's own, KORVANE.TEST (tests/support/kerberos-realm.sh): MIT's KDC on
// 127.0.0.1, the user korvane, and the proxy's service key HTTP/localhost.
class TKerberosRealm {
public:
    TKerberosRealm();
    TKerberosRealm(const TKerberosRealm&) = delete;
    TKerberosRealm& operator=(const TKerberosRealm&) = delete;
    ~TKerberosRealm();

    // The clients' configuration, for KRB5_CONFIG.
    std::filesystem::path Config() const { return FDir / "realm" / "krb5.conf"; }
    // Readable by Squid's own user.
    std::filesystem::path ProxyKeytab() const { return FDir / "realm" / "proxy.keytab"; }
    // Gets the user a ticket into the cache file `ACache`, with kinit and the user's password.
    void GetTicket(const std::filesystem::path& ACache) const;

private:
    TTempDir FDir;
    std::unique_ptr<TChildProcess> FProcess;
};

// Squid on 127.0.0.1 (tests/support/squid.sh), a proxy that asks who the user is: by Negotiate
// with the realm's tickets, or by Basic for one user and password.
class TSquid {
public:
    explicit TSquid(const TKerberosRealm& ARealm);
    TSquid(const std::string& AUser, const std::string& APassword);
    TSquid(const TSquid&) = delete;
    TSquid& operator=(const TSquid&) = delete;
    ~TSquid();

    // http://localhost:port: the host name of the proxy's service key.
    std::string Url() const;
    int Port() const { return FPort; }
    // One line per request: "TCP_TUNNEL/200 CONNECT 127.0.0.1:47443 korvane@KORVANE.TEST".
    std::vector<std::string> AccessLog() const;

private:
    void Start(std::vector<std::string> AArguments,
               std::map<std::string, std::string> AEnvironment);

    TTempDir FDir;
    int FPort = 0;
    std::unique_ptr<TChildProcess> FProcess;
};

// tinyproxy on 127.0.0.1 (tests/support/tinyproxy.sh), an HTTP proxy that tunnels TLS with
// CONNECT; with credentials it answers every request without them with 407.
class TTinyproxy {
public:
    struct TOptions {
        std::string User;  // empty: no credentials asked for
        std::string Password;
    };
    TTinyproxy();
    explicit TTinyproxy(TOptions AOptions);
    TTinyproxy(const TTinyproxy&) = delete;
    TTinyproxy& operator=(const TTinyproxy&) = delete;
    ~TTinyproxy();

    int Port() const { return FPort; }
    std::string Url() const;  // http://127.0.0.1:port
    // The request line of every request it took so far ("CONNECT 127.0.0.1:443 HTTP/1.1").
    std::vector<std::string> Requests() const;

private:
    bool Start(const TOptions& AOptions);
    std::string Diagnostics() const;

    TTempDir FDir;
    int FPort = 0;
    std::unique_ptr<TChildProcess> FProcess;
};

}  // namespace korvane::test
