// Faults a download run can meet, one row each: the real window against a local server on the
// download port, and what it shows, starts, asks the server and leaves on disk afterwards.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "app/ProgramParts.h"
#include "app/qt/fmMain.h"
#include "download/DownloadRun.h"
#include "download/IdHTTPProgress.h"
#include "download/PublisherCheck.h"
#include "platform/UniqueFd.h"
#include "support/SystemError.h"
#include "support/TestSupport.h"
#include "support/WindowProbe.h"
#include "texts/StatusTexts.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ButtonShown;
using test::GuessableTempDir;
using test::kDownloadPort;
using test::Pattern;
using test::ReadFile;
using test::RecordingSetupProgram;
using test::RunTarget;
using test::ShowsFailure;
using test::SignFile;
using test::StatusLine;
using test::TNginx;
using test::TScopedEnvironment;
using test::TScriptedServer;
using test::TTempDir;
using test::WaitUntil;
using test::WriteFile;
using TListener = TScriptedServer::TListener;

constexpr auto kRunTimeout = 30s;
const std::string kTargetName = "KorvaneSetup.exe";

// ------------------------------------------------------------------------------------------------
// Undoable changes to the system, undone in reverse order by TUndoList.

class TUndo {
public:
    virtual ~TUndo() = default;
};

class TUndoList {
public:
    TUndoList() = default;
    TUndoList(const TUndoList&) = delete;
    TUndoList& operator=(const TUndoList&) = delete;
    ~TUndoList() {
        while (!FUndos.empty()) {
            FUndos.pop_back();
        }
    }
    void Add(std::unique_ptr<TUndo> AUndo) { FUndos.push_back(std::move(AUndo)); }

private:
    std::vector<std::unique_ptr<TUndo>> FUndos;
};

// A mount over `APath`, unmounted when it goes.
class TMount : public TUndo {
public:
    explicit TMount(fs::path APath) : FPath(std::move(APath)) {}
    ~TMount() override {
        if (::umount2(FPath.c_str(), 0) != 0) {
            ::umount2(FPath.c_str(), MNT_DETACH);
        }
    }

private:
    fs::path FPath;
};

// Permissions put back when it goes.
class TPermissions : public TUndo {
public:
    TPermissions(fs::path APath, fs::perms APerms)
        : FPath(std::move(APath)), FOld(fs::status(FPath).permissions()) {
        fs::permissions(FPath, APerms);
    }
    ~TPermissions() override {
        std::error_code ignored;
        fs::permissions(FPath, FOld, ignored);
    }

private:
    fs::path FPath;
    fs::perms FOld;
};

// ------------------------------------------------------------------------------------------------
// One row's world: directories, the changes made for the row, and the expected whole download.

struct TRowWorld {
    TTempDir Root;            // holds the row's directories
    fs::path Data;            // the user's data directory (XDG_DATA_HOME): the TLS libraries
    fs::path Served;          // the servers' document root
    fs::path Records;         // what a started setup program writes
    fs::path Temp;            // the system's temporary directory (TMPDIR)
    fs::path Runtime;         // the session's runtime directory (XDG_RUNTIME_DIR)
    fs::path Elsewhere;       // a directory outside the temporary one
    std::string WholeBody;    // the body a complete download would hold
    bool AsNobody = false;    // run the window as the user nobody
    std::string SkipReason;   // set by an arrangement that cannot be made here
    platform::UniqueFd Held;  // the download lock, as another instance of the program holds it
    TUndoList Undo;           // undone before the directories go

    TRowWorld()
        : Data(Root / "data"),
          Served(Root / "served"),
          Records(Root / "records"),
          Temp(Root / "temp"),
          Runtime(Root / "runtime"),
          Elsewhere(Root / "elsewhere") {
        for (const fs::path& directory : {Data, Served, Records, Temp, Runtime, Elsewhere}) {
            fs::create_directory(directory);
        }
        fs::permissions(Runtime, fs::perms::owner_all);
    }
    uid_t Runner() const { return AsNobody ? test::OtherUser().value().Uid : ::getuid(); }
    // The name that the runner's download folder would have if anyone could work it out.
    fs::path Guessable() const { return GuessableTempDir(Temp, Runner()); }
    fs::path Target() const { return RunTarget(Temp, Runner()); }
    fs::path Record() const { return Records / "started"; }
    fs::path Payloads() const { return Data / "korvane"; }
};

// Serves a setup program labelled by the scheme it was fetched with.
// Both signed by the publisher.
void ServeOnePerScheme(TRowWorld& AWorld) {
    WriteFile(AWorld.Served / kTargetName, RecordingSetupProgram(AWorld.Record(), "https"));
    SignFile(AWorld.Served / kTargetName);
    fs::create_directory(AWorld.Served / "over-http");
    WriteFile(AWorld.Served / "over-http" / kTargetName,
              RecordingSetupProgram(AWorld.Record(), "http"));
    SignFile(AWorld.Served / "over-http" / kTargetName);
    AWorld.WholeBody = ReadFile(AWorld.Served / "over-http" / kTargetName);
}

// The setup program served over HTTPS, signed by the publisher; then `AChange` spoils it.
void ServeSigned(TRowWorld& AWorld, const std::function<void(const fs::path&)>& AChange = {}) {
    const fs::path program = AWorld.Served / kTargetName;
    WriteFile(program, RecordingSetupProgram(AWorld.Record(), "https"));
    SignFile(program);
    if (AChange) {
        AChange(program);
    }
    AWorld.WholeBody = ReadFile(program);
}

// Replaces the first occurrence of `AOld` in the file at `APath` by `ANew`.
void Edit(const fs::path& APath, std::string_view AOld, std::string_view ANew) {
    std::string content = ReadFile(APath);
    const auto at = content.find(AOld);
    if (at == std::string::npos) {
        throw std::runtime_error(std::string(AOld) + " is not in " + APath.string());
    }
    content.replace(at, AOld.size(), ANew);
    WriteFile(APath, content);
}

bool IsRoot() {
    return ::geteuid() == 0;
}

// Keeps everyone, root too, from writing into `ADirectory`: a read-only bind mount for root,
// permissions for anyone else.
void MakeReadOnly(TRowWorld& AWorld, const fs::path& ADirectory) {
    if (!IsRoot()) {
        AWorld.Undo.Add(std::make_unique<TPermissions>(
            ADirectory, fs::perms::owner_read | fs::perms::owner_exec));
        return;
    }
    if (::mount(ADirectory.c_str(), ADirectory.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        AWorld.SkipReason = test::ErrnoError("cannot bind-mount " + ADirectory.string()).what();
        return;
    }
    AWorld.Undo.Add(std::make_unique<TMount>(ADirectory));
    if (::mount(nullptr, ADirectory.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
        0) {
        AWorld.SkipReason =
            test::ErrnoError("cannot make " + ADirectory.string() + " read-only").what();
    }
}

// Lets nobody reach the row's directories, with a shared temporary directory as /tmp is: sticky
// and writable by all.
void ShareWithNobody(TRowWorld& AWorld) {
    AWorld.AsNobody = true;
    const auto open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec;
    AWorld.Undo.Add(std::make_unique<TPermissions>(AWorld.Root.Path(), open));
    fs::permissions(AWorld.Temp, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(AWorld.Data, fs::perms::all);
    fs::permissions(AWorld.Records, fs::perms::all);
}

// ------------------------------------------------------------------------------------------------
// The rows.

enum class TServerKind { None, Scripted, Nginx };

enum class TOutcome {
    DownloadFailed,  // failure title, download-failed status line, both buttons
    LaunchFailed,    // failure title, launch-failed status line, both buttons
    Started,         // the setup program ran with the language; the window closed itself
    Closed,          // closed by the user mid-download: no failure shown, nothing started
};

enum class TLeft {
    Absent,     // no file at the target
    Empty,      // an empty file
    Partial,    // some of the body, not all
    Whole,      // the whole body
    Untouched,  // what the row put there, as it was
};

struct TFaultRow {
    std::string Name;
    TServerKind Server = TServerKind::Scripted;
    std::string Scenario;           // scripted server: the path that answers for the setup program
    std::string SignatureScenario;  // scripted server: the same for its signature
    TListener Listener = TListener::Dual;      // scripted server: the listener on the download port
    std::size_t Announced = 0;                 // scripted server: the size of the whole body
    std::chrono::milliseconds ReadTimeout{0};  // 0: the client's own
    bool Keyless = false;                      // a build that names no publisher key
    std::function<void(TRowWorld&)> Arrange;   // run before the servers start
    bool CloseDuringBody = false;              // ask the window to close at 10 %
    TOutcome Outcome = TOutcome::DownloadFailed;
    TLeft Left = TLeft::Empty;
    bool Connected = true;        // false: no connection was made at all
    bool PayloadsWritten = true;  // false: not even the TLS libraries were written
    std::string StartedLabel;     // Started: the setup program expected to run
    // Untouched: the file that must keep `UntouchedContent`.
    std::function<fs::path(const TRowWorld&)> UntouchedFile;
    std::string UntouchedContent;
};

void PrintTo(const TFaultRow& ARow, std::ostream* AOut) {
    *AOut << ARow.Name;
}

// Rows where something in the way makes the run fail before it asks the server anything.
TFaultRow Refused(std::string AName, std::function<void(TRowWorld&)> AArrange,
                  bool APayloadsWritten = false) {
    TFaultRow row;
    row.Name = std::move(AName);
    row.Scenario = "/bytes/1000";
    row.Arrange = std::move(AArrange);
    row.Left = TLeft::Absent;
    row.Connected = false;
    row.PayloadsWritten = APayloadsWritten;
    return row;
}

// Rows served by nginx, with a signed setup program unless `AArrange` says otherwise.
TFaultRow Served(std::string AName, std::function<void(TRowWorld&)> AArrange, TOutcome AOutcome,
                 std::string AStartedLabel = {}) {
    TFaultRow row;
    row.Name = std::move(AName);
    row.Server = TServerKind::Nginx;
    row.Arrange = std::move(AArrange);
    row.Outcome = AOutcome;
    row.Left = TLeft::Whole;
    row.StartedLabel = std::move(AStartedLabel);
    return row;
}

std::vector<TFaultRow> Rows() {
    const auto failing = [](std::string AName, std::string AScenario, TLeft ALeft = TLeft::Empty,
                            std::size_t AAnnounced = 0) {
        TFaultRow row;
        row.Name = std::move(AName);
        row.Scenario = std::move(AScenario);
        row.Left = ALeft;
        row.Announced = AAnnounced;
        return row;
    };
    std::vector<TFaultRow> rows;

    // The connection and TLS.
    rows.push_back(failing("NameDoesNotResolve",
                           "/redirect-to?url=https://no-such-host.invalid/KorvaneSetup.exe"));
    {
        TFaultRow row = failing("ConnectionRefused", "");
        row.Server = TServerKind::None;
        rows.push_back(row);
    }
    for (const auto& [name, listener] :
         {std::pair{"TlsOldProtocolOnly", TListener::Tls10Only},
          std::pair{"TlsUntrustedCertificate", TListener::TlsSelfSigned},
          std::pair{"TlsCertificateForAnotherHost", TListener::TlsOtherHost}}) {
        TFaultRow row = failing(name, "/bytes/1000");
        row.Listener = listener;
        rows.push_back(row);
    }

    // The answer.
    rows.push_back(failing("NotFound", "/status/404"));
    rows.push_back(failing("ServerError", "/status/500"));
    rows.push_back(failing("FifteenRedirects", "/redirect/15"));
    rows.push_back(failing(
        "RedirectFromHttpsToHttp",
        "/redirect-to?url=http://127.0.0.1:" + std::to_string(kDownloadPort) + "/bytes/1000"));
    rows.push_back(failing("UnparseableStatusLine", "/bad-status-line"));
    rows.push_back(failing("HeaderBlockTooLarge", "/huge-headers"));
    rows.push_back(failing("SwitchingProtocolsUnasked", "/switching"));
    rows.push_back(failing("ContentLengthOverflowing", "/length/1000?value=99999999999999999999"));
    rows.push_back(failing("ContentLengthsDiffering", "/length/1000?value=1000&value=999"));

    // The body.
    rows.push_back(failing("BodyCutShort", "/cut/200000/100000", TLeft::Partial, 200000));
    rows.push_back(
        failing("ChunkedBodyCutShort", "/chunked-broken/200000", TLeft::Partial, 200000));
    {
        // Anyone on the way can end a connection: without a key nothing vouches for the body.
        TFaultRow row = failing("BodyEndedByTheConnectionWithoutAKey", "/no-length/200000",
                                TLeft::Whole, 200000);
        row.Keyless = true;
        rows.push_back(row);
    }
    {
        TFaultRow row;
        row.Name = "BodyEndedByTheConnectionVouchedForByItsSignature";
        row.Scenario = "/file/KorvaneSetup.exe?framing=close";
        row.SignatureScenario = "/file/KorvaneSetup.exe.minisig";
        row.Arrange = [](TRowWorld& AWorld) { ServeSigned(AWorld); };
        row.Outcome = TOutcome::Started;
        row.Left = TLeft::Whole;
        row.StartedLabel = "https";
        rows.push_back(row);
    }
    {
        TFaultRow row = failing("StallBeforeTheHeaders", "/stall-headers");
        row.ReadTimeout = 1500ms;
        rows.push_back(row);
    }
    {
        TFaultRow row =
            failing("StallInTheBody", "/stall-body/200000/50000", TLeft::Partial, 200000);
        row.ReadTimeout = 1500ms;
        rows.push_back(row);
    }
    rows.push_back(
        failing("ConnectionResetInTheBody", "/reset/200000/100000", TLeft::Partial, 200000));

    // The publisher's signature.
    rows.push_back(Served(
        "SignatureMissing",
        [](TRowWorld& AWorld) {
            ServeSigned(AWorld, [](const fs::path& AProgram) {
                fs::remove(AProgram.string() + ".minisig");
            });
        },
        TOutcome::DownloadFailed));
    rows.push_back(Served(
        "SignatureByAnotherKey",
        [](TRowWorld& AWorld) {
            ServeSigned(AWorld, [](const fs::path& AProgram) { SignFile(AProgram, "other"); });
        },
        TOutcome::DownloadFailed));
    rows.push_back(Served(
        "SignatureInTheLegacyForm",
        [](TRowWorld& AWorld) {
            ServeSigned(AWorld,
                        [](const fs::path& AProgram) { SignFile(AProgram, "publisher", {"-l"}); });
        },
        TOutcome::DownloadFailed));
    rows.push_back(Served(
        "SetupProgramChangedAfterSigning",
        [](TRowWorld& AWorld) {
            ServeSigned(AWorld, [](const fs::path& AProgram) { Edit(AProgram, "https", "httpS"); });
        },
        TOutcome::DownloadFailed));
    rows.push_back(Served(
        "TrustedCommentChanged",
        [](TRowWorld& AWorld) {
            ServeSigned(AWorld, [](const fs::path& AProgram) {
                SignFile(AProgram, "publisher", {"-t", "Korvane 1.0"});
                Edit(AProgram.string() + ".minisig", "Korvane 1.0", "Korvane 1.1");
            });
        },
        TOutcome::DownloadFailed));
    rows.push_back(Served(
        "SignatureFileTooLarge",
        [](TRowWorld& AWorld) {
            // The untrusted comment is not signed: the signature holds, but 4 KiB is the limit.
            ServeSigned(AWorld, [](const fs::path& AProgram) {
                Edit(AProgram.string() + ".minisig",
                     "untrusted comment: ", "untrusted comment: " + std::string(4100, 'x'));
            });
        },
        TOutcome::DownloadFailed));

    // The TLS libraries and plain HTTP.
    {
        TFaultRow row = Served(
            "DataDirectoryNotWritable",
            [](TRowWorld& AWorld) {
                ServeOnePerScheme(AWorld);
                MakeReadOnly(AWorld, AWorld.Data);
            },
            TOutcome::Started, "http");
        row.PayloadsWritten = false;
        rows.push_back(row);
    }
    {
        // Without a key, plain HTTP would bring a program nobody vouches for: nothing is asked.
        TFaultRow row = Refused("DataDirectoryNotWritableWithoutAKey", [](TRowWorld& AWorld) {
            ServeOnePerScheme(AWorld);
            MakeReadOnly(AWorld, AWorld.Data);
        });
        row.Server = TServerKind::Nginx;
        row.Keyless = true;
        rows.push_back(row);
    }
    rows.push_back(Served(
        "PayloadNameTakenByADirectory",
        [](TRowWorld& AWorld) {
            ServeOnePerScheme(AWorld);
            fs::create_directories(AWorld.Payloads() / "libssl.so.3");
        },
        TOutcome::Started, "http"));
    rows.push_back(Served(
        "SetupProgramChangedOverPlainHttp",
        [](TRowWorld& AWorld) {
            ServeOnePerScheme(AWorld);
            Edit(AWorld.Served / "over-http" / kTargetName, "http", "HTTP");
            AWorld.WholeBody = ReadFile(AWorld.Served / "over-http" / kTargetName);
            fs::create_directories(AWorld.Payloads() / "libssl.so.3");
        },
        TOutcome::DownloadFailed));

    // The download directory and the target.
    {
        // 1 MiB into 256 KiB.
        TFaultRow row = failing("DiskFullWhileWriting", "/bytes/1048576", TLeft::Partial, 1048576);
        row.Arrange = [](TRowWorld& AWorld) {
            if (!IsRoot()) {
                AWorld.SkipReason = "mounting a small file system as TMPDIR needs root";
                return;
            }
            if (::mount("tmpfs", AWorld.Temp.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                        "size=256k,mode=0700") != 0) {
                AWorld.SkipReason = test::ErrnoError("cannot mount a tmpfs").what();
                return;
            }
            AWorld.Undo.Add(std::make_unique<TMount>(AWorld.Temp));
        };
        rows.push_back(row);
    }
    rows.push_back(Refused("TemporaryDirectoryNotWritable",
                           [](TRowWorld& AWorld) { MakeReadOnly(AWorld, AWorld.Temp); }));
    // Whatever stands under the name anyone could work out for the runner's folder, another
    // user's above all, neither stops the download nor is touched: each run makes a folder of its
    // own.
    for (const char* taken : {"Directory", "File", "LinkToADirectory"}) {
        TFaultRow row = Served(
            std::string("GuessableFolderNameTakenByAnotherUsers") + taken,
            [taken = std::string(taken)](TRowWorld& AWorld) {
                if (!IsRoot()) {
                    AWorld.SkipReason = "acting as another user than the name's owner needs root";
                    return;
                }
                ShareWithNobody(AWorld);
                ServeSigned(AWorld);
                WriteFile(AWorld.Elsewhere / "precious", "precious content");
                if (taken == "Directory") {
                    fs::create_directory(AWorld.Guessable());
                    fs::permissions(AWorld.Guessable(), fs::perms::all);
                    WriteFile(AWorld.Guessable() / "precious", "precious content");
                } else if (taken == "File") {
                    WriteFile(AWorld.Guessable(), "precious content");
                } else {
                    fs::create_directory_symlink(AWorld.Elsewhere, AWorld.Guessable());
                }
            },
            TOutcome::Started, "https");
        row.UntouchedFile = [taken = std::string(taken)](const TRowWorld& AWorld) {
            return taken == "File"        ? AWorld.Guessable()
                   : taken == "Directory" ? AWorld.Guessable() / "precious"
                                          : AWorld.Elsewhere / "precious";
        };
        row.UntouchedContent = "precious content";
        rows.push_back(row);
    }
    {
        // A run folder of another user's, with a file of the runner's name in it, stays as it is.
        TFaultRow row = Served(
            "AnotherUsersRunFolderIsNoObstacle",
            [](TRowWorld& AWorld) {
                if (!IsRoot()) {
                    AWorld.SkipReason = "acting as another user needs root";
                    return;
                }
                ShareWithNobody(AWorld);
                ServeSigned(AWorld);
                const fs::path own =
                    AWorld.Temp / ("korvane-" + std::to_string(::getuid()) + "-rootsX");
                fs::create_directory(own);
                fs::permissions(own, fs::perms::owner_all);
                WriteFile(own / kTargetName, "root's own download");
            },
            TOutcome::Started, "https");
        row.UntouchedFile = [](const TRowWorld& AWorld) {
            return AWorld.Temp / ("korvane-" + std::to_string(::getuid()) + "-rootsX") /
                   kTargetName;
        };
        row.UntouchedContent = "root's own download";
        rows.push_back(row);
    }
    {
        // A second instance while the first downloads: nothing is asked of anyone.
        TFaultRow row = Refused("AnotherInstanceDownloads", [](TRowWorld& AWorld) {
            const fs::path lock = AWorld.Runtime / "korvane-download.lock";
            AWorld.Held = platform::UniqueFd(
                ::open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR));
            if (!AWorld.Held || ::flock(AWorld.Held.Get(), LOCK_EX | LOCK_NB) != 0) {
                throw test::ErrnoError("cannot hold the download lock");
            }
        });
        rows.push_back(row);
    }
    {
        // An earlier run's folder goes, with the link it holds; what the link led to stays.
        TFaultRow row = Served(
            "EarlierRunFolderHoldsALinkToAFileElsewhere",
            [](TRowWorld& AWorld) {
                ServeSigned(AWorld);
                WriteFile(AWorld.Elsewhere / "precious", "precious content");
                const fs::path earlier =
                    AWorld.Temp / ("korvane-" + std::to_string(::getuid()) + "-earlyX");
                fs::create_directory(earlier);
                fs::permissions(earlier, fs::perms::owner_all);
                fs::create_symlink(AWorld.Elsewhere / "precious", earlier / kTargetName);
            },
            TOutcome::Started, "https");
        row.UntouchedFile = [](const TRowWorld& AWorld) { return AWorld.Elsewhere / "precious"; };
        row.UntouchedContent = "precious content";
        rows.push_back(row);
    }

    // The start.
    rows.push_back(Served(
        "SetupProgramRefusedByTheSystem",
        [](TRowWorld& AWorld) {
            // Neither an executable format nor a script.
            std::string bytes(4096, '\0');
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                bytes[i] = static_cast<char>((i * 7 + 1) % 256);
            }
            WriteFile(AWorld.Served / kTargetName, bytes);
            SignFile(AWorld.Served / kTargetName);
            AWorld.WholeBody = bytes;
        },
        TOutcome::LaunchFailed));
    {
        // 2 MB in 100 pieces, 100 ms apart.
        TFaultRow row =
            failing("CloseRequestDuringTheBody", "/slow/2000000/100/100", TLeft::Partial, 2000000);
        row.CloseDuringBody = true;
        row.Outcome = TOutcome::Closed;
        rows.push_back(row);
    }
    return rows;
}

// ------------------------------------------------------------------------------------------------
// Running a row.

// Whichever server the row asks for, on the download port.
using TServer = std::variant<std::monostate, TScriptedServer, TNginx>;

void StartServer(TServer& AServer, const TFaultRow& ARow, const TRowWorld& AWorld) {
    switch (ARow.Server) {
        case TServerKind::None:
            return;
        case TServerKind::Scripted: {
            TScriptedServer::TOptions options;
            options.DualPort = kDownloadPort;
            options.SetupScenario = ARow.Scenario;
            options.SignatureScenario = ARow.SignatureScenario;
            options.DocRoot = AWorld.Served;
            options.DualPortListener = ARow.Listener;
            AServer.emplace<TScriptedServer>(std::move(options));
            return;
        }
        case TServerKind::Nginx: {
            AServer.emplace<TNginx>(TNginx::OnDownloadPort(
                AWorld.Served, std::string(test::kOnePerSchemeDirectives), true));
            return;
        }
    }
}

// Asks the window to close at 10 %, as a click on its close box would: queued for the pump.
void CloseAtTenPercent(TfrmMain& AWindow) {
    TIdHTTPProgress& client = AWindow.HttpClient();
    client.SetOnChange(
        [&AWindow, asked = false, display = client.OnChange()](TIdHTTPProgress& ASender) mutable {
            if (!asked && ASender.Progress() >= 10) {
                asked = true;
                QTimer::singleShot(0, &AWindow, &QWidget::close);
            }
            display(ASender);
        });
}

// Shows the window and lets its timer start the run; true when the run came to an end in time.
bool RunWindow(TfrmMain& AWindow) {
    AWindow.show();
    return WaitUntil([&] { return ShowsFailure(AWindow) || !AWindow.isVisible(); }, kRunTimeout);
}

class FaultMatrix : public testing::TestWithParam<TFaultRow> {
protected:
    static QString Text(TStatusText AKey) { return QString::fromStdU16String(LoadText(AKey)); }

    void ExpectWindowState(const TfrmMain& AWindow) const {
        switch (GetParam().Outcome) {
            case TOutcome::DownloadFailed:
            case TOutcome::LaunchFailed:
                EXPECT_TRUE(AWindow.isVisible());
                EXPECT_EQ(AWindow.windowTitle(), Text(TStatusText::sCaptionFailed));
                EXPECT_EQ(StatusLine(AWindow), Text(GetParam().Outcome == TOutcome::DownloadFailed
                                                        ? TStatusText::sMsgDownloadFailed
                                                        : TStatusText::sMsgLaunchFailed));
                EXPECT_TRUE(ButtonShown(AWindow, "btnRetry"));
                EXPECT_TRUE(ButtonShown(AWindow, "btnDownloadLink"));
                return;
            case TOutcome::Started:
            case TOutcome::Closed:
                EXPECT_FALSE(AWindow.isVisible());
                EXPECT_FALSE(ButtonShown(AWindow, "btnRetry"));
                EXPECT_FALSE(ButtonShown(AWindow, "btnDownloadLink"));
                EXPECT_EQ(AWindow.windowTitle(), Text(TStatusText::sCaptionDownloading));
                return;
        }
    }

    void ExpectStartedOrNot() const {
        if (GetParam().Outcome == TOutcome::Started) {
            EXPECT_TRUE(WaitUntil([&] { return fs::exists(FWorld.Record()); }, 10s));
            EXPECT_EQ(ReadFile(FWorld.Record()), GetParam().StartedLabel + "\n1\n/LANG=fr\n");
            return;
        }
        // Starting makes the file executable before anything runs; only a refused start may have.
        struct stat status {};
        if (GetParam().Outcome != TOutcome::LaunchFailed &&
            ::lstat(FWorld.Target().c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            EXPECT_EQ(status.st_mode & S_IXUSR, 0U) << "the download was made a program";
        }
        EXPECT_FALSE(WaitUntil([&] { return fs::exists(FWorld.Record()); }, 300ms))
            << "a setup program ran";
    }

    void ExpectLeftOnDisk() const {
        const TFaultRow& row = GetParam();
        const fs::path target = FWorld.Target();
        const std::string whole =
            FWorld.WholeBody.empty() ? Pattern(row.Announced) : FWorld.WholeBody;
        switch (row.Left) {
            case TLeft::Absent:
                EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
                return;
            case TLeft::Empty:
                ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
                EXPECT_EQ(fs::file_size(target), 0U);
                return;
            case TLeft::Partial: {
                ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
                // What arrived, and nothing else: no announced size padded out.
                const std::string left = ReadFile(target);
                EXPECT_FALSE(left.empty());
                EXPECT_LT(left.size(), whole.size()) << "the whole body arrived";
                EXPECT_EQ(left, whole.substr(0, left.size()));
                return;
            }
            case TLeft::Whole:
                ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
                EXPECT_EQ(ReadFile(target), whole);
                return;
            case TLeft::Untouched:
                break;
        }
    }

    void ExpectUntouched() const {
        const TFaultRow& row = GetParam();
        if (!row.UntouchedFile) {
            return;
        }
        const fs::path file = row.UntouchedFile(FWorld);
        ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
        EXPECT_EQ(ReadFile(file), row.UntouchedContent);
        struct stat status {};
        ASSERT_EQ(::lstat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, ::geteuid());
    }

    // Whether the run connected at all, and wrote the TLS libraries.
    void ExpectConnectedOrNot(const TServer& AServer) const {
        const TFaultRow& row = GetParam();
        if (const auto* scripted = std::get_if<TScriptedServer>(&AServer)) {
            EXPECT_EQ(scripted->ConnectionCount() != 0, row.Connected);
        } else if (const auto* nginx = std::get_if<TNginx>(&AServer)) {
            EXPECT_EQ(!nginx->AccessLog().empty(), row.Connected);
        }
        EXPECT_EQ(fs::exists(FWorld.Payloads() / "libssl.so.3"), row.PayloadsWritten);
    }

    TRowWorld FWorld;
};

TEST_P(FaultMatrix, ShowsStartsAndLeavesWhatTheFaultCallsFor) {
    const TFaultRow& row = GetParam();
    if (row.Arrange) {
        row.Arrange(FWorld);
    }
    if (!FWorld.SkipReason.empty()) {
        GTEST_SKIP() << FWorld.SkipReason;
    }
    TServer server;
    StartServer(server, row, FWorld);
    {
        const TScopedEnvironment tmpdir("TMPDIR", FWorld.Temp.string());
        const TScopedEnvironment dataHome("XDG_DATA_HOME", FWorld.Data.string());
        const TScopedEnvironment runtime("XDG_RUNTIME_DIR", FWorld.Runtime.string());
        std::optional<test::TActingUser> runner;
        if (FWorld.AsNobody) {
            runner.emplace(test::OtherUser().value());
        }
        TDownloadParts parts = ProgramParts();
        if (row.Keyless) {
            parts.PublisherCheck = nullptr;  // a build that names no publisher key
        }
        TfrmMain window(std::move(parts));
        if (row.ReadTimeout.count() > 0) {
            window.HttpClient().SetReadTimeout(row.ReadTimeout);
        }
        if (row.CloseDuringBody) {
            CloseAtTenPercent(window);
        }

        ASSERT_TRUE(RunWindow(window)) << "the run did not end";

        runner.reset();
        ExpectWindowState(window);
    }
    ExpectStartedOrNot();
    ExpectLeftOnDisk();
    ExpectUntouched();
    ExpectConnectedOrNot(server);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<TFaultRow>& AInfo) {
                             return AInfo.param.Name;
                         });

}  // namespace
}  // namespace korvane
