// The test infrastructure itself: temporary directories, child processes, nginx and the scripted
// server, checked with libcurl directly so that a broken server is not mistaken for a broken
// client.

#include <curl/curl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::Pattern;
using test::PkiDir;
using test::TChildProcess;
using test::TNginx;
using test::TScriptedServer;
using test::TTempDir;
using test::WriteFile;
using testing::AllOf;
using testing::EndsWith;
using testing::HasSubstr;
using testing::StartsWith;
using TListener = TScriptedServer::TListener;

struct TResponse {
    CURLcode Code = CURLE_OK;
    long Status = 0;
    std::string Body;
};

// One easy handle, so that consecutive requests may share a connection.
class TCurl {
public:
    TCurl() : FHandle(curl_easy_init(), &curl_easy_cleanup) {
        Set(CURLOPT_CAINFO, (PkiDir() / "ca.pem").c_str());
        Set(CURLOPT_TIMEOUT_MS, 20000L);
        Set(CURLOPT_NOSIGNAL, 1L);
    }

    template <class TValue>
    void Set(CURLoption AOption, TValue AValue) {
        curl_easy_setopt(FHandle.get(), AOption, AValue);
    }

    TResponse Get(const std::string& AUrl) {
        TResponse response;
        Set(CURLOPT_URL, AUrl.c_str());
        Set(CURLOPT_WRITEFUNCTION, &Append);
        Set(CURLOPT_WRITEDATA, &response.Body);
        response.Code = curl_easy_perform(FHandle.get());
        curl_easy_getinfo(FHandle.get(), CURLINFO_RESPONSE_CODE, &response.Status);
        return response;
    }

private:
    static size_t Append(char* AData, size_t ASize, size_t ACount, void* ABody) {
        static_cast<std::string*>(ABody)->append(AData, ASize * ACount);
        return ASize * ACount;
    }

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> FHandle;
};

TResponse Get(const std::string& AUrl) {
    return TCurl().Get(AUrl);
}

// Gone, or a zombie that nobody has reaped yet.
bool Ended(pid_t APid) {
    std::ifstream stat("/proc/" + std::to_string(APid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(") ");
    return end == std::string::npos || text[end + 2] == 'Z' || text[end + 2] == 'X';
}

TEST(TempDir, RemovesEverythingInsideEvenReadOnlyDirectories) {
    std::filesystem::path path;
    {
        const TTempDir dir;
        path = dir.Path();
        std::filesystem::create_directories(dir / "a" / "b");
        WriteFile(dir / "a" / "b" / "file", "content");
        std::filesystem::permissions(
            dir / "a", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        EXPECT_TRUE(std::filesystem::is_directory(path));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ChildProcess, ReportsExitCodesAndSignalsAndPassesTheEnvironment) {
    TChildProcess exits({"/bin/sh", "-c", "exit $KORVANE_CODE"}, {{"KORVANE_CODE", "7"}});
    EXPECT_EQ(exits.Wait(10s), 7);

    TChildProcess sleeps({"sleep", "60"});
    EXPECT_EQ(sleeps.Wait(50ms), std::nullopt);
    sleeps.Kill();
    EXPECT_EQ(sleeps.Wait(0ms), 128 + SIGKILL);
}

TEST(ChildProcess, JoinWaitsForTheEndAndKeepsWhatTheChildUsed) {
    test::TPipe input = test::MakePipe();
    TChildProcess child({"/bin/sh", "-c", "read code; exit $code"}, {},
                        test::TStdio{.In = input.ReadEnd.Get()});
    input.ReadEnd.Reset();
    EXPECT_EQ(child.Wait(0ms), std::nullopt) << "it waits for its input";
    EXPECT_EQ(child.Usage().ru_maxrss, 0) << "nothing to tell before the child has ended";

    ASSERT_EQ(::write(input.WriteEnd.Get(), "5\n", 2), 2);
    EXPECT_EQ(child.Join(), 5);
    EXPECT_GT(child.Usage().ru_maxrss, 0) << "its peak memory";
}

TEST(ChildProcess, EndsTheWholeGroupWhenDestroyed) {
    const TTempDir dir;
    pid_t grandchild = 0;
    {
        // The shell waits for its own child, so only a signal to the group ends both quickly.
        TChildProcess shell(
            {"/bin/sh", "-c", "sleep 60 & echo $! > " + (dir / "pid").string() + "; wait"});
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                std::error_code error;
                const auto size = std::filesystem::file_size(dir / "pid", error);
                return !error && size > 0;
            },
            10s));
        grandchild = std::stoi(test::ReadFile(dir / "pid"));
    }
    EXPECT_TRUE(test::WaitUntil([&] { return Ended(grandchild); }, 5s));
}

class NginxTest : public testing::Test {
protected:
    NginxTest() { WriteFile(FDocRoot / "file.bin", FContent); }

    TTempDir FDocRoot;
    const std::string FContent = Pattern(300000);
};

TEST_F(NginxTest, ServesAFileOverVerifiedHttpsAndOverHttp) {
    const TNginx nginx({.DocRoot = FDocRoot.Path(), .ServerDirectives = ""});

    const TResponse https = Get(nginx.HttpsUrl("/file.bin"));
    ASSERT_EQ(https.Code, CURLE_OK) << curl_easy_strerror(https.Code);
    EXPECT_EQ(https.Status, 200);
    EXPECT_EQ(https.Body, FContent);

    const TResponse http = Get(nginx.HttpUrl("/file.bin"));
    ASSERT_EQ(http.Code, CURLE_OK) << curl_easy_strerror(http.Code);
    EXPECT_EQ(http.Status, 200);
    EXPECT_EQ(http.Body, FContent);

    EXPECT_EQ(Get(nginx.HttpUrl("/missing")).Status, 404);
    ASSERT_EQ(nginx.AccessLog().size(), 3u);
    EXPECT_THAT(nginx.AccessLog()[0], EndsWith(" 200 \"GET /file.bin HTTP/1.1\""));
    EXPECT_THAT(nginx.AccessLog()[2], EndsWith(" 404 \"GET /missing HTTP/1.1\""));
}

TEST_F(NginxTest, AnswersPlainHttpOnTheHttpsPortWhenAsked) {
    const TNginx nginx({.DocRoot = FDocRoot.Path(),
                        .PlainHttpOnHttpsPort = true,
                        .ServerDirectives = "location = /moved { return 302 /file.bin; }"});
    const std::string plainOnHttpsPort =
        "http://127.0.0.1:" + std::to_string(nginx.HttpsPort()) + "/file.bin";

    const TResponse plain = Get(plainOnHttpsPort);
    ASSERT_EQ(plain.Code, CURLE_OK) << curl_easy_strerror(plain.Code);
    EXPECT_EQ(plain.Status, 200);
    EXPECT_EQ(plain.Body, FContent);
    EXPECT_EQ(Get("http://127.0.0.1:" + std::to_string(nginx.HttpsPort()) + "/moved").Status, 302)
        << "the test's own locations apply too";
    EXPECT_EQ(Get(nginx.HttpsUrl("/file.bin")).Body, FContent);
}

TEST(ScriptedServer, EachListenerAnswersWithItsOwnCertificate) {
    const TScriptedServer server;

    for (const TListener listener : {TListener::Plain, TListener::Tls, TListener::Dual}) {
        const TResponse response = Get(server.Url(listener, "/status/200"));
        EXPECT_EQ(response.Code, CURLE_OK) << static_cast<int>(listener);
        EXPECT_EQ(response.Status, 200) << static_cast<int>(listener);
    }
    const std::string dualPlain =
        "http://127.0.0.1:" + std::to_string(server.Port(TListener::Dual)) + "/status/201";
    EXPECT_EQ(Get(dualPlain).Status, 201);

    for (const TListener listener : {TListener::TlsOtherHost, TListener::TlsSelfSigned}) {
        EXPECT_EQ(Get(server.Url(listener, "/status/200")).Code, CURLE_PEER_FAILED_VERIFICATION)
            << static_cast<int>(listener);
    }
    TCurl otherHost;
    otherHost.Set(CURLOPT_SSL_VERIFYHOST, 0L);
    EXPECT_EQ(otherHost.Get(server.Url(TListener::TlsOtherHost, "/status/200")).Status, 200)
        << "a certificate from the test CA, for another name";
    TCurl selfSigned;
    selfSigned.Set(CURLOPT_CAINFO, (PkiDir() / "selfsigned.pem").c_str());
    EXPECT_EQ(selfSigned.Get(server.Url(TListener::TlsSelfSigned, "/status/200")).Status, 200);
}

TEST(ScriptedServer, Tls10ListenerSpeaksOnlyTls10) {
    const TScriptedServer server;
    const std::string url = server.Url(TListener::Tls10Only, "/status/200");

    TCurl modern;
    modern.Set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    EXPECT_EQ(modern.Get(url).Code, CURLE_SSL_CONNECT_ERROR);

    TCurl legacy;
    legacy.Set(CURLOPT_SSLVERSION,
               long{CURL_SSLVERSION_TLSv1_0} | long{CURL_SSLVERSION_MAX_TLSv1_0});
    legacy.Set(CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
    const TResponse response = legacy.Get(url);
    EXPECT_EQ(response.Code, CURLE_OK) << curl_easy_strerror(response.Code);
    EXPECT_EQ(response.Status, 200);
}

TEST(ScriptedServer, RecordsRawRequestsAndKeepsConnectionsAlive) {
    const TScriptedServer server;
    TCurl curl;
    curl_slist* headers = curl_slist_append(nullptr, "X-Korvane-Test: yes");
    curl.Set(CURLOPT_HTTPHEADER, headers);

    const TResponse first = curl.Get(server.Url(TListener::Tls, "/echo"));
    const TResponse second = curl.Get(server.Url(TListener::Tls, "/bytes/1000"));
    curl_slist_free_all(headers);

    ASSERT_EQ(first.Code, CURLE_OK);
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[0], first.Body);
    EXPECT_THAT(server.Requests()[0],
                AllOf(StartsWith("GET /echo HTTP/1.1\r\n"),
                      HasSubstr("\r\nX-Korvane-Test: yes\r\n"), EndsWith("\r\n\r\n")));
    EXPECT_EQ(second.Body, Pattern(1000));
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(ScriptedServer, ScenariosAndTheSetupPath) {
    const TTempDir docRoot;
    WriteFile(docRoot / "setup.bin", "setup program");
    const TScriptedServer server({.SetupScenario = "/file/setup.bin", .DocRoot = docRoot.Path()});

    TCurl following;
    following.Set(CURLOPT_FOLLOWLOCATION, 1L);
    EXPECT_EQ(following.Get(server.Url(TListener::Tls, "/relative/a/b")).Body, "relative ok");
    EXPECT_EQ(following.Get(server.Url(TListener::Tls, "/redirect/3")).Body, "done");
    EXPECT_EQ(Get(server.Url(TListener::Tls, "/KorvaneSetup.exe")).Body, "setup program");

    const TResponse cut = Get(server.Url(TListener::Plain, "/cut/1000/400"));
    EXPECT_EQ(cut.Code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(cut.Body, Pattern(400));
    EXPECT_EQ(Get(server.Url(TListener::Plain, "/unknown")).Status, 404);
}

}  // namespace
}  // namespace korvane
