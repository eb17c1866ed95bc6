// The client's and the run's rules over a transport that replays scripted answers: no socket, no
// server, a few milliseconds. What only sockets show (the request on the wire, TLS, proxies,
// time-outs) stays with the tests over real servers. The same on Linux and under Wine.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download/AnswerHeaders.h"
#include "download/DownloadRun.h"
#include "download/IdHTTPProgress.h"
#include "download/MainWindowView.h"
#include "platform/Platform.h"
#include "support/Files.h"
#include "support/RunSandbox.h"
#include "support/ScriptedTransport.h"
#include "texts/StatusTexts.h"

namespace korvane {
namespace {

using test::TRunSandbox;
using test::TScriptedAnswer;
using test::TScriptedTransport;
using test::TTempDir;
using test::TTransportLog;
using ::testing::ElementsAre;

// A client over the scripted answers, and what it asked of its transport.
struct TScriptedClient {
    explicit TScriptedClient(std::vector<TScriptedAnswer> AAnswers)
        : Log(std::make_shared<TTransportLog>()),
          Client(std::make_unique<TScriptedTransport>(std::move(AAnswers), Log)) {
        Client.SetOnChange(
            [this](TIdHTTPProgress& Sender) { Progress.push_back(Sender.Progress()); });
    }
    std::shared_ptr<TTransportLog> Log;
    TIdHTTPProgress Client;
    std::vector<int> Progress;  // every value OnChange announced
};

TScriptedAnswer Body(std::vector<std::string> APieces, std::int64_t AContentLength = -1) {
    return {.ContentLength = AContentLength, .Pieces = std::move(APieces)};
}

TScriptedAnswer RedirectTo(std::string AUrl, long AStatusCode = 302) {
    return {.StatusCode = AStatusCode, .ContentLength = 0, .RedirectUrl = std::move(AUrl)};
}

constexpr std::size_t kNoLimit = 1 << 20;

TEST(HttpClientRules, EveryReadMovesTheProgressAndTheEndMakesIt100) {
    TScriptedClient scripted(
        {Body({std::string(125, 'a'), std::string(250, 'b'), std::string(625, 'c')}, 1000)});
    EXPECT_EQ(scripted.Client.DownloadToMemory("https://a.example/f", kNoLimit).size(), 1000u);
    EXPECT_TRUE(scripted.Progress.empty()) << "a download to memory announces nothing";

    TScriptedClient file(
        {Body({std::string(125, 'a'), std::string(250, 'b'), std::string(625, 'c')}, 1000)});
    const TTempDir dir;
    EXPECT_EQ(file.Client.DownloadFile("https://a.example/f", dir / "f"),
              TTransferOutcome::Completed);
    // 0 at the start, one value per read, halves to the even neighbour (12.5 to 12, 37.5 to 38),
    // and 100 again at the end.
    EXPECT_THAT(file.Progress, ElementsAre(0, 12, 38, 100, 100));
    EXPECT_EQ(test::ReadFile(dir / "f"),
              std::string(125, 'a') + std::string(250, 'b') + std::string(625, 'c'));
}

TEST(HttpClientRules, ABodyOfUnknownLengthAnnouncesOnlyItsStartAndEnd) {
    TScriptedClient scripted({Body({"abc", "def"})});
    const TTempDir dir;
    EXPECT_EQ(scripted.Client.DownloadFile("https://a.example/f", dir / "f"),
              TTransferOutcome::Completed);
    EXPECT_THAT(scripted.Progress, ElementsAre(0, 100));
}

TEST(HttpClientRules, RedirectsAreFollowedButNeverFromTlsToPlainHttp) {
    TScriptedClient followed({RedirectTo("https://b.example/g", 301),
                              RedirectTo("https://c.example/h"), Body({"body"})});
    EXPECT_EQ(followed.Client.DownloadToMemory("https://a.example/f", kNoLimit), "body");
    EXPECT_THAT(followed.Log->Urls,
                ElementsAre("https://a.example/f", "https://b.example/g", "https://c.example/h"));

    TScriptedClient downgraded({RedirectTo("http://b.example/g"), Body({"body"})});
    EXPECT_THROW(downgraded.Client.DownloadToMemory("https://a.example/f", kNoLimit),
                 EDownloadError);
    EXPECT_THAT(downgraded.Log->Urls, ElementsAre("https://a.example/f"));

    std::vector<TScriptedAnswer> loop(20, RedirectTo("https://a.example/f"));
    TScriptedClient looping(std::move(loop));
    EXPECT_THROW(looping.Client.DownloadToMemory("https://a.example/f", kNoLimit), EDownloadError);
    EXPECT_EQ(looping.Log->Urls.size(), 15u) << "a chain of 15 redirects is taken for a loop";
}

TEST(HttpClientRules, AnswersThatAreNotAWholeSuccessRaise) {
    const std::vector<std::pair<const char*, TScriptedAnswer>> failures = {
        {"404", {.StatusCode = 404, .ContentLength = 9, .Pieces = {"not found"}}},
        {"a redirect without a location", {.StatusCode = 302, .ContentLength = 0}},
        {"a body cut short", {.ContentLength = 10, .Pieces = {"abc"}, .Failed = true}},
        {"a stall", {.ContentLength = 10, .Pieces = {"abc"}, .TimedOut = true}},
        {"a refused header", {.ProtocolFailure = "two lengths"}},
    };
    for (const auto& [name, answer] : failures) {
        TScriptedClient scripted({answer});
        const TTempDir dir;
        EXPECT_THROW((void)scripted.Client.DownloadFile("https://a.example/f", dir / "f"),
                     EDownloadError)
            << name;
    }
    TScriptedClient unframed({{.ContentLength = -1, .Pieces = {"abc"}, .Framed = false}});
    const TTempDir dir;
    EXPECT_EQ(unframed.Client.DownloadFile("https://a.example/f", dir / "f"),
              TTransferOutcome::EndedByClose);
}

TEST(HttpClientRules, ADisconnectFromTheSubscriberCancelsAtTheNextRead) {
    TScriptedClient scripted({Body({"abc", "def", "ghi"}, 9)});
    scripted.Client.SetOnChange([&](TIdHTTPProgress& Sender) {
        scripted.Progress.push_back(Sender.Progress());
        if (Sender.Progress() > 0) {
            Sender.Disconnect();
        }
    });
    const TTempDir dir;
    EXPECT_EQ(scripted.Client.DownloadFile("https://a.example/f", dir / "f"),
              TTransferOutcome::Cancelled);
    EXPECT_THAT(scripted.Progress, ElementsAre(0, 33));
    EXPECT_EQ(scripted.Log->ConnectionsClosed, 1);
}

// A fetch after the download, such as a revocation list, keeps the window breathing without
// moving the bar, and a close request stops it as it stops the download.
TEST(HttpClientRules, AFetchThatKeepsTheProgressNotifiesItAfterEveryReadAndStopsOnDisconnect) {
    TScriptedClient kept({Body({"abc", "def", "ghi"}, 9)});
    kept.Client.SetProgress(100);
    kept.Progress.clear();
    EXPECT_EQ(
        kept.Client.DownloadToMemory("https://a.example/f", kNoLimit, TMemoryNotice::Unchanged),
        "abcdefghi");
    EXPECT_THAT(kept.Progress, ElementsAre(100, 100, 100));

    TScriptedClient closed({Body({"abc", "def", "ghi"}, 9)});
    closed.Client.SetOnChange([](TIdHTTPProgress& Sender) { Sender.Disconnect(); });
    EXPECT_THROW(
        closed.Client.DownloadToMemory("https://a.example/f", kNoLimit, TMemoryNotice::Unchanged),
        ETransferCancelled);
    EXPECT_EQ(closed.Log->ConnectionsClosed, 1);
}

TEST(AnswerFraming, TheAnswerTellsItsEndByItsLengthItsLastChunkOrItsStatus) {
    const auto tellsItsEnd = [](std::vector<std::string_view> ALines, long AStatusCode,
                                bool ALastChunkIsTold) {
        TAnswerHeaders headers;
        for (const std::string_view line : ALines) {
            EXPECT_EQ(headers.Take(line), std::nullopt) << line;
        }
        return headers.TellsTheBodysEnd(AStatusCode, ALastChunkIsTold);
    };
    const std::string_view ok = "HTTP/1.1 200 OK";
    EXPECT_TRUE(tellsItsEnd({ok, "Content-Length: 10"}, 200, false));
    EXPECT_TRUE(tellsItsEnd({ok, "Transfer-Encoding: chunked"}, 200, true));
    EXPECT_FALSE(tellsItsEnd({ok, "Transfer-Encoding: chunked"}, 200, false))
        << "a library that cannot tell the last chunk from a cut leaves the end to the close";
    EXPECT_FALSE(tellsItsEnd({ok}, 200, true)) << "neither length nor chunks: ended by the close";
    EXPECT_TRUE(tellsItsEnd({"HTTP/1.1 204 No Content"}, 204, false));
    EXPECT_TRUE(tellsItsEnd({"HTTP/1.1 304 Not Modified"}, 304, false));
}

// The window as the run sees it: what it was last told.
class TRecordingView final : public IMainWindowView {
public:
    void SetTitle(std::u16string_view ATitle) override { Title = ATitle; }
    void SetStatusText(std::u16string_view AText) override { Status = AText; }
    void SetProgressBarStyle(TProgressBarStyle AStyle) override { Style = AStyle; }
    void SetProgressBarPosition(int APosition) override { Position = APosition; }
    int ProgressBarPosition() const override { return Position; }
    void SetRetryButtonVisible(bool AVisible) override { RetryShown = AVisible; }
    void SetDownloadLinkButtonVisible(bool AVisible) override { LinkShown = AVisible; }
    void SetTimerArmed(bool AArmed) override { TimerArmed = AArmed; }
    void CloseWindow() override { Closed = true; }
    void ProcessMessages() override {}
    platform::TWindowHandle NativeHandle() const override { return {}; }

    bool ShowsDownloadFailure() const {
        return RetryShown && LinkShown && !Closed &&
               Title == LoadText(TStatusText::sCaptionFailed) &&
               Status == LoadText(TStatusText::sMsgDownloadFailed);
    }

    std::u16string Title, Status;
    TProgressBarStyle Style = TProgressBarStyle::Marquee;
    int Position = 0;
    bool RetryShown = false, LinkShown = false, TimerArmed = true, Closed = false;
};

// One run in a temporary directory of its own.
class RunRules : public ::testing::Test {
protected:
    TRunSandbox Sandbox;
    TRecordingView View;
};

TEST_F(RunRules, AnyFailureOfTheDownloadEndsInTheDownloadFailedState) {
    const std::vector<std::pair<const char*, TScriptedAnswer>> failures = {
        {"a download error", {.StatusCode = 500, .ContentLength = 0}},
        {"a library refusing a setting",
         {.Raise = std::make_exception_ptr(std::runtime_error("x"))}},
        {"a system error",
         {.Raise = std::make_exception_ptr(
              std::system_error(std::make_error_code(std::errc::io_error)))}},
        {"a body that ended with the connection, nothing to vouch for it",
         {.Pieces = {"#!/bin/sh\n"}, .Framed = false}},
    };
    for (const auto& [name, answer] : failures) {
        TScriptedClient scripted({answer});
        TDownloadRun run(View, scripted.Client, nullptr, {});
        View = TRecordingView();
        run.TimerTimer();
        EXPECT_TRUE(View.ShowsDownloadFailure()) << name;
        EXPECT_FALSE(View.TimerArmed) << name;
        EXPECT_FALSE(Sandbox.LeftRunnable()) << name << ": nothing runnable is left";
    }
}

// Vouches for every download, and meanwhile drops a library beside it, as another program of the
// user's could: what Windows would load into the setup program from its own folder.
class TPlantingCheck final : public IPublisherCheck {
public:
    bool Holds(TIdHTTPProgress&, const std::string&, const platform::TFile& AFile) override {
        test::WriteFile(AFile.Path().parent_path() / "version.dll", "planted");
        return true;
    }
};

TEST_F(RunRules, TheSetupProgramStartsOnlyAloneInItsFolder) {
    TScriptedClient scripted({Body({"#!/bin/sh\nexit 0\n"}, 17)});
    TDownloadRun run(View, scripted.Client, std::make_unique<TPlantingCheck>(), {});
    run.TimerTimer();
    EXPECT_TRUE(View.ShowsDownloadFailure());
    EXPECT_FALSE(Sandbox.LeftRunnable()) << "refused, the download cannot run";
}

TEST_F(RunRules, RetryPutsTheWindowBackAsAtTheStart) {
    TScriptedClient scripted({{.StatusCode = 404, .ContentLength = 0}});
    TDownloadRun run(View, scripted.Client, nullptr, {});
    run.TimerTimer();
    ASSERT_TRUE(View.ShowsDownloadFailure());
    run.btnRetryClick();
    EXPECT_FALSE(View.RetryShown || View.LinkShown);
    EXPECT_TRUE(View.TimerArmed);
    EXPECT_EQ(View.Style, TProgressBarStyle::Marquee);
    EXPECT_EQ(View.Position, 0);
    EXPECT_EQ(View.Title, LoadText(TStatusText::sCaptionDownloading));
    EXPECT_EQ(View.Status, LoadText(TStatusText::sMsgDownloading));
}

}  // namespace
}  // namespace korvane
