// The download run through the real window, the real client and local servers: what gets started
// and how, what the window shows when it cannot, the TLS libraries and the fall-back to plain HTTP,
// the progress shown on the way, and a close request in the middle of a download.

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ProgramParts.h"
#include "app/qt/ProgressBar.h"
#include "app/qt/fmMain.h"
#include "download/IdHTTPProgress.h"
#include "download/curl/CarriedTlsLibraries.h"
#include "support/TestSupport.h"
#include "support/WindowProbe.h"

// Failure messages show texts as text.
inline void PrintTo(const QString& AText, std::ostream* AOut) {
    *AOut << '"' << AText.toStdString() << '"';
}

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ButtonShown;
using test::kDownloadPort;
using test::PkiDir;
using test::ReadFile;
using test::RecordingSetupProgram;
using test::RunTarget;
using test::ShowsFailure;
using test::SignFile;
using test::StatusLine;
using test::TChildProcess;
using test::TNginx;
using test::TScopedEnvironment;
using test::TScriptedServer;
using test::TTempDir;
using test::WaitUntil;
using test::WriteFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr auto kRunTimeout = 30s;

const QString kDownloadingTitle =
    QString::fromUtf8("Téléchargement de Korvane en cours... Veuillez patienter.");
const QString kDownloadingStatus = QString::fromUtf8("Téléchargement de Korvane en cours");
const QString kFailedTitle = QString::fromUtf8("Téléchargement échoué !");
const QString kDownloadFailedStatus =
    QString::fromUtf8("Impossible de télécharger Korvane, veuillez vérifier votre connexion");
const QString kLaunchFailedStatus =
    QString::fromUtf8("Impossible de lancer l'installation de l'application.");
const QString kSetupAddress =
    QStringLiteral("https://127.0.0.1:%1/KorvaneSetup.exe").arg(kDownloadPort);

// Stands in for the desktop's opener, first in PATH: records what the window hands it, as a
// stand-in setup program does.
class TAddressCatcher {
public:
    TAddressCatcher() : FPath("PATH", FDir.Path().string() + ":" + std::getenv("PATH")) {
        WriteFile(FDir / "xdg-open", RecordingSetupProgram(FDir / "record", "xdg-open", 0));
        fs::permissions(FDir / "xdg-open", fs::perms::owner_all);
    }
    // The opener's record: its name, its argument count and its arguments, one a line; nullopt
    // when it did not run within `ATimeout`.
    std::optional<std::string> Record(std::chrono::milliseconds ATimeout) const {
        if (!WaitUntil([&] { return fs::exists(FDir / "record"); }, ATimeout)) {
            return std::nullopt;
        }
        return ReadFile(FDir / "record");
    }

private:
    const TTempDir FDir;
    const TScopedEnvironment FPath;
};

TProgressBar& Bar(const TfrmMain& AWindow) {
    return *AWindow.findChild<TProgressBar*>(QStringLiteral("ProgressBar"));
}

void Click(const TfrmMain& AWindow, const char* AName) {
    AWindow.findChild<QPushButton*>(QString::fromLatin1(AName))->click();
}

enum class TLoopEnd { ApplicationQuit, ConditionMet, TimedOut };

// Runs the application's event loop as the program does, until the application quits,
// `ACondition` holds, or `ATimeout` passes.
template <class TCondition>
TLoopEnd RunApplication(TCondition ACondition, std::chrono::milliseconds ATimeout) {
    constexpr int kConditionMet = 1001;
    constexpr int kTimedOut = 1002;
    QTimer poll;
    poll.setInterval(20ms);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (ACondition()) {
            poll.stop();
            QCoreApplication::exit(kConditionMet);
        }
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(kTimedOut); });
    poll.start();
    watchdog.start(ATimeout);
    switch (QApplication::exec()) {
        case kConditionMet:
            return TLoopEnd::ConditionMet;
        case kTimedOut:
            return TLoopEnd::TimedOut;
        default:
            return TLoopEnd::ApplicationQuit;
    }
}

// Shows the window and runs the program until the window has closed it or shows a failure.
TLoopEnd RunWindow(TfrmMain& AWindow) {
    AWindow.show();
    return RunApplication([&] { return ShowsFailure(AWindow); }, kRunTimeout);
}

// openssl's own test server on the download port, serving a directory with certificate `ACert`
// from the test certificates.
class TOpensslServer {
public:
    TOpensslServer(const fs::path& ADocRoot, std::string_view ACert)
        : FProcess({"/bin/sh", "-c",
                    "cd \"$1\" && exec openssl s_server -quiet -WWW -accept \"127.0.0.1:$2\" "
                    "-cert \"$3.pem\" -key \"$3.key\"",
                    "s_server", ADocRoot.string(), std::to_string(kDownloadPort),
                    (PkiDir() / ACert).string()}) {
        if (!WaitUntil([] { return test::AcceptsConnections(kDownloadPort); }, 15s)) {
            throw std::runtime_error("openssl s_server did not start");
        }
    }

private:
    TChildProcess FProcess;
};

// The parts of a build that names no publisher key.
TDownloadParts KeylessParts() {
    TDownloadParts parts = ProgramParts();
    parts.PublisherCheck = nullptr;
    return parts;
}

class DownloadRun : public ::testing::Test {
protected:
    const TTempDir FData;     // the user's data directory (XDG_DATA_HOME)
    const TTempDir FServed;   // the servers' document root
    const TTempDir FRecords;  // what the started setup program writes
    const TTempDir FTemp;     // the system's temporary directory (TMPDIR)
    const TScopedEnvironment FTmpdir{"TMPDIR", FTemp.Path().string()};
    const TScopedEnvironment FDataHome{"XDG_DATA_HOME", FData.Path().string()};

    // nginx on the download port, serving the document root over HTTPS, and over plain HTTP too
    // when asked.
    TNginx::TOptions Nginx(std::string ADirectives = {}, bool APlainHttpToo = false) const {
        return TNginx::OnDownloadPort(FServed.Path(), std::move(ADirectives), APlainHttpToo);
    }
    static constexpr bool kPlainHttpToo = true;

    // The scripted server on the download port, answering for the setup program with `AScenario`.
    static TScriptedServer::TOptions Scripted(std::string AScenario) {
        TScriptedServer::TOptions options;
        options.DualPort = kDownloadPort;
        options.SetupScenario = std::move(AScenario);
        return options;
    }

    fs::path Target() const { return RunTarget(FTemp.Path(), ::getuid()); }
    fs::path Payloads() const { return FData / "korvane"; }
    fs::path Record() const { return FRecords / "started"; }

    void ServeSetupProgram(std::string_view ALabel = "started", std::size_t ASize = 0,
                           std::string_view AWhere = "KorvaneSetup.exe") const {
        const fs::path where = FServed / AWhere;
        fs::create_directories(where.parent_path());
        WriteFile(where, RecordingSetupProgram(Record(), ALabel, ASize));
        SignFile(where);
    }

    // Serves a different setup program for each scheme, so that the record tells which was used.
    std::string ServeOnePerScheme() const {
        ServeSetupProgram("https");
        ServeSetupProgram("http", 0, "over-http/KorvaneSetup.exe");
        return std::string(test::kOnePerSchemeDirectives);
    }

    // Keeps the TLS libraries from being written into the data directory. Permissions do not
    // stop root, so there a directory stands in the way of the first library.
    void BlockTlsLibraries() const {
        if (::geteuid() == 0) {
            fs::create_directories(Payloads() / "libssl.so.3");
        } else {
            fs::permissions(FData.Path(), fs::perms::owner_read | fs::perms::owner_exec);
        }
    }
    void UnblockTlsLibraries() const {
        if (::geteuid() == 0) {
            fs::remove(Payloads() / "libssl.so.3");
        } else {
            fs::permissions(FData.Path(), fs::perms::owner_all);
        }
    }

    // What the setup program recorded, once it has.
    std::optional<std::string> StartRecord(std::chrono::milliseconds ATimeout = 10s) const {
        if (!WaitUntil([&] { return fs::exists(Record()); }, ATimeout)) {
            return std::nullopt;
        }
        return ReadFile(Record());
    }

    void ExpectStartedWithTheLanguage(std::string_view ALabel = "started") const {
        EXPECT_EQ(StartRecord(), std::string(ALabel) + "\n1\n/LANG=fr\n");
    }

    void ExpectNothingStarted() const {
        // Starting makes the file executable before anything runs.
        struct stat status {};
        if (::stat(Target().c_str(), &status) == 0) {
            EXPECT_EQ(status.st_mode & S_IXUSR, 0U);
        }
        EXPECT_EQ(StartRecord(500ms), std::nullopt);
    }

    static void ExpectFailureShown(const TfrmMain& AWindow, const QString& AStatus) {
        EXPECT_TRUE(AWindow.isVisible());
        EXPECT_EQ(AWindow.windowTitle(), kFailedTitle);
        EXPECT_EQ(StatusLine(AWindow), AStatus);
        EXPECT_TRUE(ButtonShown(AWindow, "btnRetry"));
        EXPECT_TRUE(ButtonShown(AWindow, "btnDownloadLink"));
    }

    // A run against whatever serves the download port now, expected to fail in the download.
    void ExpectDownloadFails(TfrmMain& AWindow) const {
        EXPECT_EQ(RunWindow(AWindow), TLoopEnd::ConditionMet);
        ExpectFailureShown(AWindow, kDownloadFailedStatus);
        ExpectNothingStarted();
    }
    void ExpectDownloadFails(TDownloadParts AParts = ProgramParts()) const {
        TfrmMain window(std::move(AParts));
        ExpectDownloadFails(window);
    }
};

// The bytes of the carried TLS library `AName`.
std::string CarriedBytes(std::string_view AName) {
    for (const TTlsPayload& library : CarriedTlsLibraries()) {
        if (library.Name == AName) {
            return {reinterpret_cast<const char*>(library.Bytes.data()), library.Bytes.size()};
        }
    }
    ADD_FAILURE() << "no carried library " << AName;
    return {};
}

TEST_F(DownloadRun, StartsTheSetupProgramWithTheLanguageAndEndsTheProgram) {
    ServeSetupProgram();
    const fs::path earlier = FTemp / ("korvane-" + std::to_string(::getuid()) + "-earlyX");
    fs::create_directory(earlier);
    fs::permissions(earlier, fs::perms::owner_all);
    WriteFile(earlier / "KorvaneSetup.exe", "left behind by an earlier run");
    const TNginx server(Nginx());
    TfrmMain window(ProgramParts());

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);

    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(ShowsFailure(window));
    ExpectStartedWithTheLanguage();
    EXPECT_FALSE(fs::exists(earlier)) << "the earlier run's folder went first";
    EXPECT_EQ(ReadFile(Target()), ReadFile(FServed / "KorvaneSetup.exe"));
    // Started from its own folder, which holds nothing else.
    EXPECT_EQ(ReadFile(Record().string() + ".directory"), Target().parent_path().string() + "\n");
    EXPECT_EQ(
        std::distance(fs::directory_iterator(Target().parent_path()), fs::directory_iterator()), 1);
    struct stat status {};
    ASSERT_EQ(::lstat(Target().c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700U);
    EXPECT_EQ(status.st_uid, ::geteuid());
    EXPECT_EQ(ReadFile(Payloads() / "libssl.so.3"), CarriedBytes("libssl"));
    EXPECT_EQ(ReadFile(Payloads() / "libcrypto.so.3"), CarriedBytes("libcrypto"));
    EXPECT_EQ(fs::status(Payloads()).permissions(), fs::perms::owner_all);
    // The publisher's signature, fetched from beside the setup program.
    EXPECT_THAT(server.AccessLog(),
                ElementsAre(HasSubstr(" 200 \"GET /KorvaneSetup.exe HTTP/1.1\""),
                            HasSubstr(" 200 \"GET /KorvaneSetup.exe.minisig HTTP/1.1\"")));
}

TEST_F(DownloadRun, StartsTheSetupProgramAlsoWhenTheServerClosesTheConnection) {
    ServeSetupProgram();
    const TNginx server(Nginx("keepalive_timeout 0;"));
    TfrmMain window(ProgramParts());

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);
    ExpectStartedWithTheLanguage();
}

TEST_F(DownloadRun, StartsASetupProgramReadUntilTheServerClosedOnlyWhenItsSignatureHolds) {
    // HTTP/1.0 without a length: the end of the body is the end of the connection, which anyone
    // on the way can bring about.
    ServeSetupProgram();
    const TOpensslServer server(FServed.Path(), "localhost");
    ExpectDownloadFails(KeylessParts());

    TfrmMain window(ProgramParts());
    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);
    ExpectStartedWithTheLanguage();
}

TEST_F(DownloadRun, AMissingFileShowsTheDownloadFailure) {
    ServeSetupProgram();
    fs::rename(FServed / "KorvaneSetup.exe", FServed / "elsewhere.exe");
    const TNginx server(Nginx());
    ExpectDownloadFails();
    EXPECT_THAT(server.AccessLog(), ElementsAre(HasSubstr(" 404 \"GET /KorvaneSetup.exe")));
}

TEST_F(DownloadRun, NoServerShowsTheDownloadFailure) {
    ExpectDownloadFails();
}

TEST_F(DownloadRun, ASelfSignedCertificateShowsTheDownloadFailure) {
    ServeSetupProgram();
    const TOpensslServer server(FServed.Path(), "selfsigned");
    ExpectDownloadFails();
}

TEST_F(DownloadRun, ACertificateForAnotherHostShowsTheDownloadFailure) {
    ServeSetupProgram();
    const TOpensslServer server(FServed.Path(), "otherhost");
    ExpectDownloadFails();
}

TEST_F(DownloadRun, ABodyCutShortShowsTheDownloadFailure) {
    const TScriptedServer server(Scripted("/cut/200000/100000"));
    ExpectDownloadFails();
}

TEST_F(DownloadRun, AServerThatStopsSendingShowsTheDownloadFailure) {
    const TScriptedServer server(Scripted("/stall-body/200000/1000"));
    TfrmMain window(ProgramParts());
    window.HttpClient().SetReadTimeout(1s);
    ExpectDownloadFails(window);
}

TEST_F(DownloadRun, AFileThatIsNotAProgramShowsTheLaunchFailure) {
    std::string notAProgram(4096, '\0');
    for (std::size_t i = 0; i < notAProgram.size(); ++i) {
        notAProgram[i] = static_cast<char>((i * 7 + 1) % 256);
    }
    WriteFile(FServed / "KorvaneSetup.exe", notAProgram);
    SignFile(FServed / "KorvaneSetup.exe");
    const TNginx server(Nginx());
    TfrmMain window(ProgramParts());

    EXPECT_EQ(RunWindow(window), TLoopEnd::ConditionMet);

    ExpectFailureShown(window, kLaunchFailedStatus);
    EXPECT_EQ(Bar(window).Style(), TProgressBarStyle::Marquee);
    EXPECT_EQ(ReadFile(Target()), notAProgram);
}

TEST_F(DownloadRun, TlsLibrariesAlreadyThereAreKeptAsTheyAre) {
    fs::create_directory(Payloads());
    WriteFile(Payloads() / "libssl.so.3", "an ssl library of our own");
    WriteFile(Payloads() / "libcrypto.so.3", "a crypto library of our own");
    const std::string directives = ServeOnePerScheme();
    const TNginx server(Nginx(directives, kPlainHttpToo));
    TfrmMain window(ProgramParts());

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);

    ExpectStartedWithTheLanguage("https");
    EXPECT_EQ(ReadFile(Payloads() / "libssl.so.3"), "an ssl library of our own");
    EXPECT_EQ(ReadFile(Payloads() / "libcrypto.so.3"), "a crypto library of our own");
}

TEST_F(DownloadRun, TheMissingTlsLibraryIsWrittenBesideThePresentOne) {
    fs::create_directory(Payloads());
    WriteFile(Payloads() / "libcrypto.so.3", "a crypto library of our own");
    const std::string directives = ServeOnePerScheme();
    const TNginx server(Nginx(directives, kPlainHttpToo));
    TfrmMain window(ProgramParts());

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);

    ExpectStartedWithTheLanguage("https");
    EXPECT_EQ(ReadFile(Payloads() / "libssl.so.3"), CarriedBytes("libssl"));
    EXPECT_EQ(ReadFile(Payloads() / "libcrypto.so.3"), "a crypto library of our own");
}

TEST_F(DownloadRun, WithoutTlsLibrariesTheRunFallsBackToPlainHttpAndTheSignatureDecides) {
    BlockTlsLibraries();
    const std::string directives = ServeOnePerScheme();
    const TNginx server(Nginx(directives, kPlainHttpToo));
    TfrmMain window(ProgramParts());

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);

    ExpectStartedWithTheLanguage("http");
    // The first failure spares the second library its attempt.
    EXPECT_FALSE(fs::exists(Payloads() / "libcrypto.so.3"));
    EXPECT_THAT(server.AccessLog(),
                ElementsAre(HasSubstr(" 200 \"GET /KorvaneSetup.exe HTTP/1.1\""),
                            HasSubstr(" 200 \"GET /KorvaneSetup.exe.minisig HTTP/1.1\"")));
    UnblockTlsLibraries();
}

TEST_F(DownloadRun, WithoutTlsLibrariesOrAKeyNothingIsFetchedOverPlainHttp) {
    BlockTlsLibraries();
    const std::string directives = ServeOnePerScheme();
    const TNginx server(Nginx(directives, kPlainHttpToo));

    ExpectDownloadFails(KeylessParts());

    EXPECT_THAT(server.AccessLog(), ElementsAre());
    EXPECT_FALSE(fs::exists(fs::symlink_status(Target())));
    UnblockTlsLibraries();
}

TEST_F(DownloadRun, RetryStartsAfreshOverHttps) {
    // Plain HTTP on the TLS port is refused, so the fall-back run fails.
    BlockTlsLibraries();
    ServeSetupProgram();
    const TNginx server(Nginx());
    TfrmMain window(ProgramParts());
    ASSERT_EQ(RunWindow(window), TLoopEnd::ConditionMet);
    ExpectFailureShown(window, kDownloadFailedStatus);
    EXPECT_THAT(server.AccessLog(), ElementsAre(HasSubstr(" 400 \"GET /KorvaneSetup.exe")));

    UnblockTlsLibraries();
    Click(window, "btnRetry");

    EXPECT_EQ(window.windowTitle(), kDownloadingTitle);
    EXPECT_EQ(StatusLine(window), kDownloadingStatus);
    EXPECT_FALSE(ButtonShown(window, "btnRetry"));
    EXPECT_FALSE(ButtonShown(window, "btnDownloadLink"));
    EXPECT_EQ(Bar(window).Style(), TProgressBarStyle::Marquee);
    EXPECT_EQ(Bar(window).Position(), 0);

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);
    ExpectStartedWithTheLanguage();
    EXPECT_THAT(server.AccessLog(), Contains(HasSubstr(" 200 \"GET /KorvaneSetup.exe")));
}

TEST_F(DownloadRun, TheOtherLinkOpensTheSecureAddressAndEndsTheProgram) {
    // A failed run over plain HTTP: the browser still gets the HTTPS address.
    BlockTlsLibraries();
    const TNginx server(Nginx({}, kPlainHttpToo));
    TfrmMain window(ProgramParts());
    ASSERT_EQ(RunWindow(window), TLoopEnd::ConditionMet);
    ASSERT_THAT(server.AccessLog(), ElementsAre(HasSubstr(" 404 \"GET /KorvaneSetup.exe")));
    const TAddressCatcher browser;

    QTimer::singleShot(0, &window, [&] { Click(window, "btnDownloadLink"); });
    EXPECT_EQ(RunApplication([] { return false; }, 10s), TLoopEnd::ApplicationQuit);

    EXPECT_EQ(browser.Record(10s), "xdg-open\n1\n" + kSetupAddress.toStdString() + "\n");
    EXPECT_FALSE(window.isVisible());
    UnblockTlsLibraries();
}

TEST_F(DownloadRun, ClosingDuringTheDownloadEndsTheProgramWithoutStartingAnything) {
    // 2 MB in 100 pieces, 100 ms apart: ten seconds unless the run stops early.
    const TScriptedServer server(Scripted("/slow/2000000/100/100"));
    TfrmMain window(ProgramParts());
    TIdHTTPProgress& client = window.HttpClient();
    bool closeRequested = false;
    client.SetOnChange([&, display = client.OnChange()](TIdHTTPProgress& Sender) {
        if (!closeRequested && Sender.Progress() >= 10) {
            // Queued, as a click on the close box would be, for the display's pump to handle.
            closeRequested = true;
            QTimer::singleShot(0, &window, &QWidget::close);
        }
        display(Sender);
    });
    window.show();
    const auto start = std::chrono::steady_clock::now();

    EXPECT_EQ(RunApplication([&] { return ShowsFailure(window); }, kRunTimeout),
              TLoopEnd::ApplicationQuit);

    EXPECT_TRUE(closeRequested);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 7s);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(ShowsFailure(window));
    EXPECT_EQ(window.windowTitle(), kDownloadingTitle);
    ExpectNothingStarted();
}

// What the window showed after one notification of the client.
struct TShown {
    int Progress;
    int Position;
    TProgressBarStyle Style;
    QString Status;
};

TEST_F(DownloadRun, TheBarAndTheStatusLineFollowTheDownload) {
    // Large enough that every whole percentage gets its own notification.
    ServeSetupProgram("started", 4'000'000);
    const TNginx server(Nginx());
    TfrmMain window(ProgramParts());
    TIdHTTPProgress& client = window.HttpClient();
    std::vector<TShown> shown;
    client.SetOnChange([&, display = client.OnChange()](TIdHTTPProgress& Sender) {
        display(Sender);
        shown.push_back(
            {Sender.Progress(), Bar(window).Position(), Bar(window).Style(), StatusLine(window)});
    });

    EXPECT_EQ(RunWindow(window), TLoopEnd::ApplicationQuit);
    ExpectStartedWithTheLanguage();

    ASSERT_GT(shown.size(), 100U);
    EXPECT_EQ(shown.front().Progress, 0);
    EXPECT_EQ(shown.front().Status, kDownloadingStatus);
    EXPECT_EQ(shown.back().Progress, 100);
    // Fetching the signature afterwards moves nothing: no transfer starts again from 0.
    const auto moved = std::find_if(shown.begin(), shown.end(),
                                    [](const TShown& AEach) { return AEach.Progress != 0; });
    EXPECT_TRUE(
        std::none_of(moved, shown.end(), [](const TShown& AEach) { return AEach.Progress == 0; }));

    // The marquee lasts until 5 %; the notification that ends it shows the bar's recorded 0.
    std::size_t switching = 0;
    while (switching < shown.size() && shown[switching].Progress < 5) {
        EXPECT_EQ(shown[switching].Style, TProgressBarStyle::Marquee);
        ++switching;
    }
    ASSERT_LT(switching, shown.size());
    EXPECT_EQ(shown[switching].Progress, 5);
    EXPECT_EQ(shown[switching].Position, 0);
    for (std::size_t i = switching + 1; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].Style, TProgressBarStyle::Normal);
        EXPECT_EQ(shown[i].Position, shown[i].Progress);
    }

    const std::array<const char*, 9> milestones = {
        "Veuillez patienter",
        "Téléchargement de Korvane en cours",
        "Veuillez patienter",
        "Téléchargement de Korvane en cours",
        "Veuillez patienter, on a fait la moitiée !",
        "Téléchargement de Korvane en cours",
        "Veuillez patienter",
        "Téléchargement de Korvane en cours",
        "Veuillez patienter, on y est presque !",
    };
    std::vector<int> reached;
    for (const TShown& each : shown) {
        if (each.Position % 10 == 0 && each.Position >= 10 && each.Position <= 90) {
            EXPECT_EQ(each.Status.toStdString(), milestones[each.Position / 10 - 1])
                << "at " << each.Position << " %";
            if (reached.empty() || reached.back() != each.Position) {
                reached.push_back(each.Position);
            }
        }
    }
    EXPECT_THAT(reached, ElementsAre(10, 20, 30, 40, 50, 60, 70, 80, 90));
    // Between milestones the line keeps the last one's text.
    for (const TShown& each : shown) {
        if (each.Position > 90) {
            EXPECT_EQ(each.Status.toStdString(), milestones.back());
        }
    }
}

}  // namespace
}  // namespace korvane
