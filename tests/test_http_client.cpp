// The HTTP client against real servers on 127.0.0.1: nginx for what a web server does, the
// scripted server for the faults nginx cannot produce, tinyproxy for the user's proxy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/ProgramParts.h"
#include "download/IdHTTPProgress.h"
#include "support/TestSupport.h"

namespace korvane {
namespace {

using test::Pattern;
using test::ReadFile;
using test::TNginx;
using test::TScopedEnvironment;
using test::TScriptedServer;
using test::TTempDir;
using test::TTinyproxy;
using test::WriteFile;
using testing::AllOf;
using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;
using TListener = TScriptedServer::TListener;

// A client whose notifications are recorded.
class TRecordingClient : public TIdHTTPProgress {
public:
    TRecordingClient() : TIdHTTPProgress(ProgramParts().Transport) {
        SetOnChange(
            [this](TIdHTTPProgress& ASender) { Notifications.push_back(ASender.Progress()); });
    }
    std::vector<int> Notifications;
};

// Raises the client's failure and returns its text, or fails the test when there was none.
template <class TCall>
std::string FailureOf(TCall ACall) {
    try {
        (void)ACall();
    } catch (const EDownloadError& error) {
        return error.what();
    }
    ADD_FAILURE() << "the download did not fail";
    return {};
}

// The request the download server has always received, as its /echo scenario returns it.
std::string KnownRequest(std::string_view APath, int APort) {
    return "GET " + std::string(APath) +
           " HTTP/1.1\r\n"
           "Host: 127.0.0.1:" +
           std::to_string(APort) +
           "\r\n"
           "Accept: text/html, */*\r\n"
           "Accept-Encoding: identity\r\n"
           "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
           "Authorization: Basic Og==\r\n"
           "\r\n";
}

class HttpClientAgainstNginx : public testing::Test {
protected:
    HttpClientAgainstNginx() { WriteFile(FDocRoot / "setup.bin", FContent); }

    TNginx StartNginx(std::string ADirectives = {}) {
        return TNginx({.DocRoot = FDocRoot.Path(), .ServerDirectives = std::move(ADirectives)});
    }

    const std::string FContent = Pattern(300 * 1024 + 17);
    TTempDir FDocRoot;
    TTempDir FTarget;
    TRecordingClient FClient;
};

TEST_F(HttpClientAgainstNginx, DownloadsOverHttpsAndPlainHttpIntoANewDirectory) {
    const TNginx nginx = StartNginx();
    for (const std::string& url : {nginx.HttpsUrl("/setup.bin"), nginx.HttpUrl("/setup.bin")}) {
        SCOPED_TRACE(url);
        const auto target = FTarget / "not" / "yet" / "there.exe";
        FClient.Notifications.clear();

        ASSERT_EQ(FClient.DownloadFile(url, target), TTransferOutcome::Completed);

        EXPECT_EQ(ReadFile(target), FContent);
        struct stat status {};
        ASSERT_EQ(::stat(target.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << "the download is private to its owner";
        // 0 opens, one rising value per block, 100 at the end of the body and again at its end.
        ASSERT_GE(FClient.Notifications.size(), 3u);
        EXPECT_EQ(FClient.Notifications.front(), 0);
        EXPECT_TRUE(std::is_sorted(FClient.Notifications.begin(), FClient.Notifications.end()));
        EXPECT_THAT(std::vector(FClient.Notifications.end() - 2, FClient.Notifications.end()),
                    ElementsAre(100, 100));
        EXPECT_GE(FClient.Notifications.size(), 2 + FContent.size() / 32768)
            << "one notification per block of at most 32768 bytes";
        EXPECT_EQ(FClient.BytesToTransfer(), 0);
    }
}

TEST_F(HttpClientAgainstNginx, FollowsARedirectWhoseBodyHasItsOwnProgress) {
    const TNginx nginx = StartNginx("location = /moved { return 302 /setup.bin; }");
    const auto target = FTarget / "setup.exe";

    ASSERT_EQ(FClient.DownloadFile(nginx.HttpsUrl("/moved"), target), TTransferOutcome::Completed);

    EXPECT_EQ(ReadFile(target), FContent);
    // The redirect's own body runs to 100 before the final body starts again from the bottom.
    const auto& values = FClient.Notifications;
    const auto first100 = std::find(values.begin(), values.end(), 100);
    ASSERT_NE(first100, values.end());
    EXPECT_NE(std::find_if(first100, values.end(), [](int AValue) { return AValue < 100; }),
              values.end());
    EXPECT_EQ(FClient.Notifications.back(), 100);
}

TEST_F(HttpClientAgainstNginx, NotFoundFailsWithTheStatusLineAndLeavesAnEmptyFile) {
    const TNginx nginx = StartNginx();
    const auto target = FTarget / "setup.exe";

    EXPECT_EQ(FailureOf([&] { return FClient.DownloadFile(nginx.HttpsUrl("/missing"), target); }),
              "HTTP/1.1 404 Not Found");
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
    EXPECT_EQ(FClient.Notifications.back(), 100) << "the error body is read like any other";
}

TEST_F(HttpClientAgainstNginx, ReusesTheKeptAliveConnectionAndClosesOnDisconnect) {
    const TNginx nginx = StartNginx();
    const auto target = FTarget / "setup.exe";

    ASSERT_EQ(FClient.DownloadFile(nginx.HttpsUrl("/setup.bin"), target),
              TTransferOutcome::Completed);
    // A second download starts again from 0 and goes over the same connection.
    FClient.Notifications.clear();
    ASSERT_EQ(FClient.DownloadFile(nginx.HttpsUrl("/setup.bin"), target),
              TTransferOutcome::Completed);
    EXPECT_EQ(FClient.Notifications.front(), 0);
    EXPECT_EQ(ReadFile(target), FContent);

    const std::vector<std::string> log = nginx.AccessLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].substr(0, log[0].find(' ')), log[1].substr(0, log[1].find(' ')))
        << log[0] << " / " << log[1];

    // After a disconnect the next download opens a connection of its own.
    FClient.Disconnect();
    FClient.Disconnect();  // nothing left to close
    ASSERT_EQ(FClient.DownloadFile(nginx.HttpsUrl("/setup.bin"), target),
              TTransferOutcome::Completed);
    const std::vector<std::string> after = nginx.AccessLog();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_NE(after[1].substr(0, after[1].find(' ')), after[2].substr(0, after[2].find(' ')))
        << after[1] << " / " << after[2];
}

TEST_F(HttpClientAgainstNginx, CompletesWhenTheServerClosesTheConnection) {
    const TNginx nginx = StartNginx("keepalive_timeout 0;");
    const auto target = FTarget / "setup.exe";

    ASSERT_EQ(FClient.DownloadFile(nginx.HttpsUrl("/setup.bin"), target),
              TTransferOutcome::Completed);

    EXPECT_EQ(ReadFile(target), FContent);
}

class HttpClientAgainstScriptedServer : public testing::Test {
protected:
    std::string Url(std::string_view APath, TListener AListener = TListener::Tls) const {
        return FServer.Url(AListener, APath);
    }
    TTransferOutcome Download(std::string_view APath, TListener AListener = TListener::Tls) {
        return FClient.DownloadFile(Url(APath, AListener), FTargetPath);
    }
    std::string Downloaded() const { return ReadFile(FTargetPath); }

    TScriptedServer FServer;
    TTempDir FTarget;
    const std::filesystem::path FTargetPath = FTarget / "setup.exe";
    TRecordingClient FClient;
};

TEST_F(HttpClientAgainstScriptedServer, SendsExactlyTheKnownRequest) {
    ASSERT_EQ(Download("/echo"), TTransferOutcome::Completed);

    EXPECT_EQ(Downloaded(), KnownRequest("/echo", FServer.Port(TListener::Tls)));
}

TEST_F(HttpClientAgainstScriptedServer, SendsCookiesBackAcrossARedirect) {
    ASSERT_EQ(Download("/cookie/set"), TTransferOutcome::Completed);
    EXPECT_THAT(Downloaded(), HasSubstr("\r\nCookie: session=abc123\r\n"));
}

TEST_F(HttpClientAgainstScriptedServer, ResolvesARelativeLocation) {
    ASSERT_EQ(Download("/relative/a/b"), TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), "relative ok");
}

TEST_F(HttpClientAgainstScriptedServer, FollowsFourteenRedirectsAndFailsAtTheFifteenth) {
    ASSERT_EQ(Download("/redirect/14"), TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), "done");

    EXPECT_EQ(FailureOf([&] { return Download("/redirect/15"); }), "too many redirects");
    EXPECT_EQ(Downloaded(), "") << "no redirect body reaches the file";
}

TEST_F(HttpClientAgainstScriptedServer, RefusesToLeaveTlsOnARedirect) {
    const std::string plain = Url("/echo", TListener::Plain);
    EXPECT_THAT(FailureOf([&] { return Download("/redirect-to?url=" + plain); }),
                HasSubstr("refused to leave TLS"));
    EXPECT_EQ(FServer.Requests().size(), 1u) << "the plain address was never asked";

    // Plain HTTP that moves to TLS is fine.
    ASSERT_EQ(Download("/redirect-to?url=" + Url("/bytes/10"), TListener::Plain),
              TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), Pattern(10));
}

TEST_F(HttpClientAgainstScriptedServer, ComputesThePercentageWithHalvesToEven) {
    // Eight bytes, one per block: 12.5 rounds to 12, 37.5 to 38, 62.5 to 62, 87.5 to 88.
    ASSERT_EQ(Download("/slow/8/8/30"), TTransferOutcome::Completed);
    EXPECT_THAT(FClient.Notifications, ElementsAre(0, 12, 25, 38, 50, 62, 75, 88, 100, 100));
}

TEST_F(HttpClientAgainstScriptedServer, BodiesOfUnknownLengthOnlyReportTheirEnd) {
    const std::pair<const char*, TTransferOutcome> cases[] = {
        {"/chunked/100000", TTransferOutcome::Completed},
        // Only the connection's end ended it: nothing tells whether it is whole.
        {"/no-length/100000", TTransferOutcome::EndedByClose},
    };
    for (const auto& [path, outcome] : cases) {
        SCOPED_TRACE(path);
        FClient.Notifications.clear();
        ASSERT_EQ(Download(path), outcome);
        EXPECT_EQ(Downloaded(), Pattern(100000));
        EXPECT_EQ(FClient.Notifications.front(), 0);
        EXPECT_EQ(FClient.Notifications.back(), 100);
        EXPECT_EQ(std::count(FClient.Notifications.begin(), FClient.Notifications.end(), 0),
                  static_cast<long>(FClient.Notifications.size()) - 1);
    }
}

TEST_F(HttpClientAgainstScriptedServer, RefusesALengthThatCannotBeRead) {
    // Overflowing, differing, signed, listed, negative, hexadecimal.
    for (const char* values :
         {"value=99999999999999999999", "value=1000&value=1001", "value=%2B1000",
          "value=1000,%201000", "value=-1", "value=0x3e8", "value="}) {
        SCOPED_TRACE(values);
        EXPECT_THAT(FailureOf([&] { return Download(std::string("/length/1000?") + values); }),
                    HasSubstr("Content-Length"));
        EXPECT_EQ(Downloaded(), "");
    }
    // The same length twice says nothing new.
    ASSERT_EQ(Download("/length/1000?value=1000&value=1000"), TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), Pattern(1000));
}

TEST_F(HttpClientAgainstScriptedServer, FailsOnABodyCutShort) {
    for (const char* path :
         {"/cut/100000/50000", "/reset/100000/50000", "/chunked-broken/100000"}) {
        SCOPED_TRACE(path);
        EXPECT_NE(FailureOf([&] { return Download(path); }), "");
        EXPECT_LT(Downloaded().size(), 100000u);
    }
}

TEST_F(HttpClientAgainstScriptedServer, FailsOnAnswersThatAreNotSuccesses) {
    const std::pair<const char*, const char*> cases[] = {
        {"/status/500", "HTTP/1.1 500 Internal Server Error"},
        {"/status/401", "HTTP/1.1 401 Unauthorized"},
        {"/not-modified", "HTTP/1.1 304 Not Modified"},
        {"/redirect-no-location", "HTTP/1.1 302 Found"},
    };
    for (const auto& [path, statusLine] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(FailureOf([&] { return Download(path); }), statusLine);
        EXPECT_EQ(Downloaded(), "");
    }
    for (const char* path : {"/bad-status-line", "/huge-headers"}) {
        SCOPED_TRACE(path);
        EXPECT_NE(FailureOf([&] { return Download(path); }), "");
    }
}

TEST_F(HttpClientAgainstScriptedServer, FailsAtOnceOnASwitchNobodyAskedFor) {
    // The server then falls silent: a client that waited would fail on the read limit instead.
    EXPECT_EQ(FailureOf([&] { return Download("/switching"); }),
              "HTTP/1.1 101 Switching Protocols");
}

TEST_F(HttpClientAgainstScriptedServer, AcceptsInterimAndEmptyAnswers) {
    ASSERT_EQ(Download("/continue"), TTransferOutcome::Completed);
    EXPECT_FALSE(Downloaded().empty());
    ASSERT_EQ(Download("/no-content"), TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), "");
}

TEST_F(HttpClientAgainstScriptedServer, GivesUpWhenTheServerFallsSilent) {
    FClient.SetReadTimeout(std::chrono::milliseconds(1500));
    for (const char* path : {"/stall-headers", "/stall-body/100000/20000"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(FailureOf([&] { return Download(path); }), "no data within the read time-out");
    }
}

TEST_F(HttpClientAgainstScriptedServer, TrustsOnlyAnAuthenticatedModernServer) {
    for (const TListener listener :
         {TListener::TlsOtherHost, TListener::TlsSelfSigned, TListener::Tls10Only}) {
        SCOPED_TRACE(static_cast<int>(listener));
        EXPECT_NE(FailureOf([&] { return Download("/echo", listener); }), "");
        EXPECT_EQ(Downloaded(), "");
    }
}

TEST_F(HttpClientAgainstScriptedServer, DownloadsASmallBodyIntoMemoryWithoutNotifying) {
    EXPECT_EQ(FClient.DownloadToMemory(Url("/bytes/4096"), 4096), Pattern(4096));
    // Through the same redirects, cookies and request as a download.
    EXPECT_THAT(
        FClient.DownloadToMemory(Url("/cookie/set"), 4096),
        AllOf(HasSubstr("GET /echo HTTP/1.1\r\n"), HasSubstr("\r\nCookie: session=abc123\r\n"),
              HasSubstr("\r\nUser-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n")));
    EXPECT_THAT(FClient.Notifications, ElementsAre());

    // Too long, announced or not; not a success.
    for (const char* path : {"/bytes/4097", "/chunked/5000", "/no-length/5000", "/status/404"}) {
        SCOPED_TRACE(path);
        EXPECT_NE(FailureOf([&] { return FClient.DownloadToMemory(Url(path), 4096); }), "");
    }
    EXPECT_THAT(FClient.Notifications, ElementsAre());
}

TEST_F(HttpClientAgainstScriptedServer, DisconnectFromANotificationCancelsTheTransfer) {
    FClient.SetOnChange([](TIdHTTPProgress& ASender) {
        if (ASender.Progress() >= 30) {
            ASender.Disconnect();
        }
    });

    EXPECT_EQ(Download("/slow/100000/10/50"), TTransferOutcome::Cancelled);

    EXPECT_GE(Downloaded().size(), 30000u);
    EXPECT_LT(Downloaded().size(), 100000u);

    // The next download is not affected.
    FClient.SetOnChange({});
    EXPECT_EQ(Download("/bytes/1000"), TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), Pattern(1000));
}

TEST_F(HttpClientAgainstScriptedServer, DisconnectAtTheOpeningNotificationSendsNothing) {
    FClient.SetOnChange([](TIdHTTPProgress& ASender) { ASender.Disconnect(); });

    EXPECT_EQ(Download("/bytes/1000"), TTransferOutcome::Cancelled);

    EXPECT_EQ(FServer.Requests().size(), 0u);
}

TEST_F(HttpClientAgainstScriptedServer, DisconnectAtTheEndOfARedirectBodyStopsBeforeTheNextHop) {
    FClient.SetOnChange([](TIdHTTPProgress& ASender) {
        if (ASender.Progress() == 100) {
            ASender.Disconnect();
        }
    });

    EXPECT_EQ(Download("/redirect/3"), TTransferOutcome::Cancelled);

    EXPECT_EQ(FServer.Requests().size(), 1u);
}

// The proxy that the user's environment names, as libcurl reads it: a real tinyproxy in front of
// the scripted server. Every case uses a client of its own, so that no connection is reused.
class HttpClientBehindAProxy : public testing::Test {
protected:
    // The variables start out unset, whatever the test's own environment holds, and get their
    // old values back at the end.
    HttpClientBehindAProxy() {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            FCleared.push_back(std::make_unique<TScopedEnvironment>(name, std::nullopt));
        }
    }
    static void Set(const char* AName, const std::string& AValue) {
        ::setenv(AName, AValue.c_str(), 1);
    }
    static void Unset(const char* AName) { ::unsetenv(AName); }

    TTransferOutcome Download(std::string_view APath, TListener AListener = TListener::Tls) {
        TRecordingClient client;
        return client.DownloadFile(FServer.Url(AListener, APath), FTargetPath);
    }
    std::string FailingDownload(std::string_view APath, TListener AListener = TListener::Tls) {
        return FailureOf([&] { return Download(APath, AListener); });
    }
    std::string Downloaded() const { return ReadFile(FTargetPath); }
    std::string TunnelTo(TListener AListener) const {
        return "CONNECT 127.0.0.1:" + std::to_string(FServer.Port(AListener)) + " HTTP/1.1";
    }

    std::vector<std::unique_ptr<TScopedEnvironment>> FCleared;
    TScriptedServer FServer;
    TTinyproxy FProxy;
    TTempDir FTarget;
    const std::filesystem::path FTargetPath = FTarget / "setup.exe";
};

TEST_F(HttpClientBehindAProxy, TunnelsToTheServerWhichStillGetsTheKnownRequest) {
    for (const char* variable : {"https_proxy", "HTTPS_PROXY", "all_proxy"}) {
        SCOPED_TRACE(variable);
        Set(variable, FProxy.Url());
        const std::size_t before = FProxy.Requests().size();

        ASSERT_EQ(Download("/echo"), TTransferOutcome::Completed);

        EXPECT_EQ(Downloaded(), KnownRequest("/echo", FServer.Port(TListener::Tls)));
        const std::vector<std::string> requests = FProxy.Requests();
        EXPECT_THAT(
            std::vector(requests.begin() + static_cast<std::ptrdiff_t>(before), requests.end()),
            ElementsAre(TunnelTo(TListener::Tls)));
        Unset(variable);
    }
}

TEST_F(HttpClientBehindAProxy, TakesNoHeaderOfTheProxysAnswerToConnectForTheServers) {
    // The scripted server's plain listener as the proxy: its answer to CONNECT carries a length
    // that no answer of the server could pass.
    Set("https_proxy", FServer.Url(TListener::Plain, ""));

    ASSERT_EQ(Download("/echo"), TTransferOutcome::Completed);

    EXPECT_EQ(Downloaded(), KnownRequest("/echo", FServer.Port(TListener::Tls)));
    const std::vector<std::string> requests = FServer.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_THAT(requests.front(), StartsWith(TunnelTo(TListener::Tls) + "\r\n"));
}

TEST_F(HttpClientBehindAProxy, TakesPlainHttpThroughHttpProxyButNeverThroughItsUpperCaseForm) {
    const std::string plainEcho = FServer.Url(TListener::Plain, "/echo");
    Set("http_proxy", FProxy.Url());
    ASSERT_EQ(Download("/echo", TListener::Plain), TTransferOutcome::Completed);
    EXPECT_THAT(FProxy.Requests(), ElementsAre("GET " + plainEcho + " HTTP/1.1"));

    // HTTP_PROXY can be set by a web server from a request's "Proxy" header: libcurl ignores it.
    Unset("http_proxy");
    Set("HTTP_PROXY", FProxy.Url());
    ASSERT_EQ(Download("/echo", TListener::Plain), TTransferOutcome::Completed);
    EXPECT_EQ(Downloaded(), KnownRequest("/echo", FServer.Port(TListener::Plain)));
    EXPECT_EQ(FProxy.Requests().size(), 1u);
}

TEST_F(HttpClientBehindAProxy, StillRefusesEveryServerItCannotAuthenticate) {
    Set("https_proxy", FProxy.Url());
    for (const TListener listener :
         {TListener::TlsRogue, TListener::TlsSelfSigned, TListener::TlsOtherHost}) {
        SCOPED_TRACE(static_cast<int>(listener));

        EXPECT_NE(FailingDownload("/echo", listener), "");

        EXPECT_EQ(Downloaded(), "");
        EXPECT_THAT(FProxy.Requests(), Contains(TunnelTo(listener)));
    }
    EXPECT_THAT(FServer.Requests(), IsEmpty()) << "no request reached a server not vouched for";
}

TEST_F(HttpClientBehindAProxy, ReachesTheServersThatNoProxyNamesDirectly) {
    Set("https_proxy", FProxy.Url());
    for (const char* variable : {"no_proxy", "NO_PROXY"}) {
        SCOPED_TRACE(variable);
        Set(variable, "127.0.0.1");

        ASSERT_EQ(Download("/echo"), TTransferOutcome::Completed);

        EXPECT_EQ(Downloaded(), KnownRequest("/echo", FServer.Port(TListener::Tls)));
        Unset(variable);
    }
    EXPECT_THAT(FProxy.Requests(), IsEmpty());
}

TEST_F(HttpClientBehindAProxy, FailsWhenTheProxyAsksForCredentialsOrIsNotThere) {
    const TTinyproxy guarded({.User = "korvane", .Password = "secret"});
    Set("https_proxy", guarded.Url());
    Set("http_proxy", guarded.Url());
    for (const TListener listener : {TListener::Tls, TListener::Plain}) {
        SCOPED_TRACE(static_cast<int>(listener));
        // Without credentials in the proxy's address, the empty name is offered once; tinyproxy
        // answers that with 401 where a proxy answers 407.
        EXPECT_THAT(FailingDownload("/echo", listener),
                    testing::AnyOf(HasSubstr("407"), HasSubstr("401")));
        EXPECT_EQ(Downloaded(), "");
    }
    EXPECT_THAT(guarded.Requests(), Contains(TunnelTo(TListener::Tls)));

    // A port on which nothing listens any more.
    const int gone = [] {
        const TTinyproxy proxy;
        return proxy.Port();
    }();
    Set("https_proxy", "http://127.0.0.1:" + std::to_string(gone));
    EXPECT_NE(FailingDownload("/echo"), "");

    EXPECT_THAT(FServer.Requests(), IsEmpty());
}

}  // namespace
}  // namespace korvane
