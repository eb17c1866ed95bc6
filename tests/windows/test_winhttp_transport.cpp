// The WinHTTP transport against the scripted server, which tests/windows/with-scripted-server.sh
// starts on the Linux side: the request on the wire, cookies, redirects, blocks, time-outs, TLS,
// the framing of answers, and the user's proxy (tinyproxy, started by the same script).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/BuildSettings.h"
#include "download/winhttp/WinHttpIOHandler.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;

constexpr auto kTestTimeout = 30000ms;

int PortOf(const char* AListener) {
    const char* value = std::getenv((std::string("KORVANE_PORT_") + AListener).c_str());
    return value != nullptr ? std::atoi(value) : 0;
}

// Records what the transport hands over, and stops when told to.
class TRecorder final : public IHttpReceiver {
public:
    void BodyBegin(long AStatusCode, std::int64_t AContentLength) override {
        Calls += 'B';
        StatusCode = AStatusCode;
        ContentLength = AContentLength;
    }
    bool BodyPiece(std::string_view APiece) override {
        Calls += 'P';
        Pieces.push_back(APiece.size());
        Body += APiece;
        return Body.size() < StopAfter;
    }
    bool ReadDone() override {
        Calls += 'D';
        return !StopAtReadDone;
    }

    std::string Calls;  // B, then P and D for each read
    long StatusCode = 0;
    std::int64_t ContentLength = 0;
    std::vector<std::size_t> Pieces;
    std::string Body;
    std::size_t StopAfter = std::string::npos;
    bool StopAtReadDone = false;
};

bool IsPattern(const std::string& ABody) {
    for (std::size_t index = 0; index < ABody.size(); ++index) {
        if (static_cast<unsigned char>(ABody[index]) != index % 251) {
            return false;
        }
    }
    return true;
}

class WinHttpTransport : public testing::Test {
protected:
    void SetUp() override {
        if (PortOf("TLS") == 0) {
            GTEST_FAIL() << "no scripted server: run through tests/windows/with-scripted-server.sh";
        }
    }

    static std::string Url(const char* AListener, std::string_view APath) {
        const char* scheme = std::string_view(AListener) == "PLAIN" ? "http" : "https";
        return std::string(scheme) + "://localhost:" + std::to_string(PortOf(AListener)) +
               std::string(APath);
    }
    THttpAnswer Get(const std::string& AUrl, std::chrono::milliseconds ATimeout = kTestTimeout) {
        return FTransport.Get(AUrl, FRecorder, ATimeout);
    }
    // The requests the server read on a listener, from its event log.
    static std::vector<std::string> RequestsOn(const char* AListener) {
        std::ifstream log(std::getenv("KORVANE_SERVER_LOG"));
        const std::string tag = std::string("\"listener\": \"") + AListener + "\", \"request\"";
        std::vector<std::string> requests;
        for (std::string line; std::getline(log, line);) {
            if (line.find(tag) != std::string::npos) {
                requests.push_back(line);
            }
        }
        return requests;
    }

    TWinHttpIOHandler FTransport{build_settings::TrustedCaPem()};
    TRecorder FRecorder;
};

std::string ExpectedRequest(std::string_view ATarget, int APort) {
    return "GET " + std::string(ATarget) + " HTTP/1.1\r\n" +
           "Host: localhost:" + std::to_string(APort) +
           "\r\n"
           "Accept: text/html, */*\r\n"
           "Accept-Encoding: identity\r\n"
           "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
           "Authorization: Basic Og==\r\n"
           "\r\n";
}

TEST_F(WinHttpTransport, SendsTheFixedRequestByteForByteOverPlainHttpAndTls) {
    for (const char* listener : {"PLAIN", "TLS"}) {
        SCOPED_TRACE(listener);
        FRecorder = TRecorder();
        // The fragment stays at home; the query goes out as it is.
        const THttpAnswer answer = Get(Url(listener, "/echo?a=1&b=2#part"));

        ASSERT_FALSE(answer.Failed) << answer.ErrorText;
        EXPECT_EQ(answer.StatusCode, 200);
        EXPECT_EQ(answer.StatusLine, "HTTP/1.1 200 OK");
        EXPECT_TRUE(answer.Framed);
        EXPECT_EQ(FRecorder.Body, ExpectedRequest("/echo?a=1&b=2", PortOf(listener)));
        EXPECT_EQ(FRecorder.ContentLength, static_cast<std::int64_t>(FRecorder.Body.size()));
    }
}

TEST_F(WinHttpTransport, SendsBackCookiesOfTheSessionAlsoAfterClosingTheConnection) {
    const THttpAnswer redirect = Get(Url("PLAIN", "/cookie/set"));
    ASSERT_FALSE(redirect.Failed) << redirect.ErrorText;
    EXPECT_EQ(redirect.StatusCode, 302);
    EXPECT_EQ(redirect.RedirectUrl, Url("PLAIN", "/echo"));
    EXPECT_EQ(FRecorder.Body, "redirect\n") << "a redirect's body is handed over like any other";

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        FRecorder = TRecorder();
        const THttpAnswer echo = Get(redirect.RedirectUrl);
        ASSERT_FALSE(echo.Failed) << echo.ErrorText;
        EXPECT_NE(FRecorder.Body.find("\r\nCookie: session=abc123\r\n"), std::string::npos)
            << FRecorder.Body;
        FTransport.CloseConnection();
    }
}

TEST_F(WinHttpTransport, ResolvesRedirectsAgainstTheAddressWithoutFollowingThem) {
    const THttpAnswer relative = Get(Url("TLS", "/relative/a/b"));
    ASSERT_FALSE(relative.Failed) << relative.ErrorText;
    EXPECT_EQ(relative.StatusCode, 302);
    EXPECT_EQ(relative.RedirectUrl, Url("TLS", "/relative/file-relative"));

    const THttpAnswer absolute =
        Get(Url("TLS", "/redirect-to?url=http://localhost:1/elsewhere&status=301"));
    ASSERT_FALSE(absolute.Failed) << absolute.ErrorText;
    EXPECT_EQ(absolute.StatusCode, 301);
    EXPECT_EQ(absolute.RedirectUrl, "http://localhost:1/elsewhere")
        << "even a step down to plain HTTP is left to the caller";

    const THttpAnswer none = Get(Url("TLS", "/redirect-no-location"));
    EXPECT_EQ(none.StatusCode, 302);
    EXPECT_EQ(none.RedirectUrl, "");
    EXPECT_EQ(Get(Url("TLS", "/status/200")).RedirectUrl, "");
}

TEST_F(WinHttpTransport, HandsTheBodyOverOneReadAtATimeInBlocksOfAtMost32768Bytes) {
    struct TCase {
        const char* Listener;
        std::string_view Path;
        std::size_t Size;
        std::size_t MinPieces;
    };
    for (const TCase& c :
         {TCase{"PLAIN", "/bytes/300000", 300000, 10}, TCase{"TLS", "/bytes/300000", 300000, 10},
          TCase{"TLS", "/slow/20000/5/100", 20000, 5},
          TCase{"PLAIN", "/no-length/100000", 100000, 4}}) {
        SCOPED_TRACE(c.Path);
        SCOPED_TRACE(c.Listener);
        FRecorder = TRecorder();
        const THttpAnswer answer = Get(Url(c.Listener, c.Path));

        ASSERT_FALSE(answer.Failed) << answer.ErrorText;
        EXPECT_EQ(FRecorder.Body.size(), c.Size);
        EXPECT_TRUE(IsPattern(FRecorder.Body));
        EXPECT_EQ(FRecorder.StatusCode, 200);
        std::string expectedCalls = "B";
        for (std::size_t piece = 0; piece < FRecorder.Pieces.size(); ++piece) {
            expectedCalls += "PD";
        }
        EXPECT_EQ(FRecorder.Calls, expectedCalls);
        EXPECT_GE(FRecorder.Pieces.size(), c.MinPieces);
        for (const std::size_t piece : FRecorder.Pieces) {
            EXPECT_LE(piece, kReceiveBufferSize);
        }
    }
    EXPECT_EQ(FRecorder.ContentLength, -1) << "a body without length announces none";
}

TEST_F(WinHttpTransport, StopsWhenThePieceOrTheEndOfTheReadSaysSo) {
    FRecorder.StopAfter = 1;
    const THttpAnswer byPiece = Get(Url("TLS", "/bytes/300000"));
    EXPECT_TRUE(byPiece.Failed);
    EXPECT_EQ(FRecorder.Calls, "BP");

    FRecorder = TRecorder();
    FRecorder.StopAtReadDone = true;
    const THttpAnswer byReadDone = Get(Url("PLAIN", "/bytes/300000"));
    EXPECT_TRUE(byReadDone.Failed);
    EXPECT_EQ(FRecorder.Calls, "BPD");

    // The transport carries on with the next GET.
    FRecorder = TRecorder();
    EXPECT_FALSE(Get(Url("TLS", "/bytes/10")).Failed);
    EXPECT_EQ(FRecorder.Body.size(), 10u);
}

TEST_F(WinHttpTransport, TimesOutWhenTheServerFallsSilent) {
    const THttpAnswer body = Get(Url("TLS", "/stall-body/1000/100"), 1500ms);
    EXPECT_TRUE(body.Failed);
    EXPECT_TRUE(body.TimedOut) << body.ErrorText;
    EXPECT_EQ(FRecorder.Body.size(), 100u) << "what came before the silence was handed over";

    FRecorder = TRecorder();
    const THttpAnswer headers = Get(Url("PLAIN", "/stall-headers"), 1500ms);
    EXPECT_TRUE(headers.Failed);
    EXPECT_TRUE(headers.TimedOut) << headers.ErrorText;
    EXPECT_EQ(headers.StatusCode, 0);
    EXPECT_EQ(FRecorder.Calls, "");
}

TEST_F(WinHttpTransport, AcceptsOnlyTheTrustedCaForTheRightHostOverTls12OrLater) {
    const THttpAnswer trusted = Get(Url("TLS", "/bytes/10"));
    EXPECT_FALSE(trusted.Failed) << trusted.ErrorText;
    EXPECT_EQ(FRecorder.Body.size(), 10u);

    for (const char* listener : {"TLS_ROGUE", "TLS_OTHERHOST", "TLS10"}) {
        SCOPED_TRACE(listener);
        FRecorder = TRecorder();
        const THttpAnswer answer = Get(Url(listener, "/bytes/10"));
        EXPECT_TRUE(answer.Failed);
        EXPECT_FALSE(answer.TimedOut) << answer.ErrorText;
        EXPECT_EQ(answer.StatusCode, 0);
        EXPECT_EQ(FRecorder.Calls, "");
        EXPECT_FALSE(answer.ErrorText.empty());
    }
    // WinHTTP's own checks come before the request. The root is checked just before the request
    // goes out, where closing the request stops it on Windows; Wine's WinHTTP sends it all the
    // same, so only the answer's refusal is asserted for the rogue CA.
    EXPECT_EQ(RequestsOn("tls-otherhost").size(), 0u);
    EXPECT_EQ(RequestsOn("tls10").size(), 0u);
}

TEST_F(WinHttpTransport, GivesTheStatusLineAsReceivedAndReadsErrorBodies) {
    const THttpAnswer answer = Get(Url("TLS", "/status/404"));
    EXPECT_FALSE(answer.Failed) << answer.ErrorText;
    EXPECT_EQ(answer.StatusCode, 404);
    EXPECT_EQ(answer.StatusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(FRecorder.Body, "status 404\n");
    EXPECT_EQ(FRecorder.StatusCode, 404);

    FRecorder = TRecorder();
    const THttpAnswer noContent = Get(Url("PLAIN", "/no-content"));
    EXPECT_FALSE(noContent.Failed) << noContent.ErrorText;
    EXPECT_EQ(noContent.StatusLine, "HTTP/1.1 204 No Content");
    EXPECT_TRUE(noContent.Framed) << "a 204 has no body to end";
    EXPECT_EQ(FRecorder.Calls, "");
}

TEST_F(WinHttpTransport, TellsBodiesEndedByTheirFramingFromThoseEndedByTheClose) {
    const THttpAnswer unframed = Get(Url("PLAIN", "/no-length/50000"));
    EXPECT_FALSE(unframed.Failed) << unframed.ErrorText;
    EXPECT_FALSE(unframed.Framed);
    EXPECT_EQ(unframed.ContentLength, -1);
    EXPECT_EQ(FRecorder.Body.size(), 50000u);
    EXPECT_EQ(FRecorder.ContentLength, -1);

    FRecorder = TRecorder();
    const THttpAnswer closed = Get(Url("TLS", "/close/50000"));
    EXPECT_FALSE(closed.Failed) << closed.ErrorText;
    EXPECT_TRUE(closed.Framed) << "its length ended it, before the close";
    EXPECT_EQ(closed.ContentLength, 50000);

    for (const char* path : {"/cut/50000/20000", "/reset/50000/20000"}) {
        SCOPED_TRACE(path);
        FRecorder = TRecorder();
        const THttpAnswer cut = Get(Url("TLS", path));
        EXPECT_TRUE(cut.Failed);
        EXPECT_FALSE(cut.TimedOut);
        EXPECT_EQ(FRecorder.Body.size(), 20000u);
    }
}

// WinHTTP ends a chunked body cut off between two chunks as it ends a whole one.
TEST_F(WinHttpTransport, CountsAChunkedBodyAsEndedByTheCloseWholeOrNot) {
    for (const char* path : {"/chunked/100000", "/chunked-broken/100000"}) {
        SCOPED_TRACE(path);
        FRecorder = TRecorder();
        const THttpAnswer answer = Get(Url("PLAIN", path));
        EXPECT_FALSE(answer.Framed);
        EXPECT_EQ(answer.ContentLength, -1);
        EXPECT_TRUE(IsPattern(FRecorder.Body));
    }
}

TEST_F(WinHttpTransport, RefusesUnusableLengthsAndAnUnaskedSwitchBeforeTheBody) {
    for (const char* path :
         {"/length/100?value=100&value=200", "/length/100?value=abc", "/length/100?value=%2B100",
          "/length/100?value=99999999999999999999"}) {
        SCOPED_TRACE(path);
        FRecorder = TRecorder();
        const THttpAnswer answer = Get(Url("PLAIN", path));
        EXPECT_TRUE(answer.Failed);
        EXPECT_NE(answer.ProtocolFailure.find("Content-Length"), std::string::npos)
            << answer.ProtocolFailure;
        EXPECT_EQ(FRecorder.Calls, "");
    }

    FRecorder = TRecorder();
    const THttpAnswer same = Get(Url("PLAIN", "/length/100?value=100&value=100"));
    EXPECT_FALSE(same.Failed) << same.ErrorText << same.ProtocolFailure;
    EXPECT_EQ(FRecorder.Body.size(), 100u);

    // With a time-out far beyond the test's own, a wait for the switch would show.
    FRecorder = TRecorder();
    const THttpAnswer switching = Get(Url("TLS", "/switching"), 60000ms);
    EXPECT_TRUE(switching.Failed);
    EXPECT_FALSE(switching.TimedOut);
    EXPECT_EQ(switching.ProtocolFailure, "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(FRecorder.Calls, "");
}

// The current user's Internet settings with a manual proxy, stored as the Internet Options dialog
// stores them, for the object's lifetime; the settings from before come back at the end.
class TScopedUserProxy {
public:
    TScopedUserProxy(std::string_view AProxy, std::string_view ABypass) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &FKey,
                            nullptr) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot open the Internet settings");
        }
        DWORD size = 0;
        if (RegQueryValueExW(FKey, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            FOld.emplace(size, '\0');
            RegQueryValueExW(FKey, kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(FOld->data()),
                             &size);
        }
        // A version, a change counter, the flags (direct, and through the proxy), then counted
        // strings: the proxy, the exceptions, the automatic configuration's address (none).
        std::string settings;
        const auto add = [&](std::uint32_t AValue) {
            settings.append(reinterpret_cast<const char*>(&AValue), sizeof(AValue));
        };
        const auto addText = [&](std::string_view AText) {
            add(static_cast<std::uint32_t>(AText.size()));
            settings += AText;
        };
        add(0x46);
        add(1);
        add(0x1 | 0x2);
        addText(AProxy);
        addText(ABypass);
        addText("");
        settings.append(32, '\0');
        Store(settings);
    }
    TScopedUserProxy(const TScopedUserProxy&) = delete;
    TScopedUserProxy& operator=(const TScopedUserProxy&) = delete;
    ~TScopedUserProxy() {
        if (FOld) {
            Store(*FOld);
        } else {
            RegDeleteValueW(FKey, kValue);
        }
        RegCloseKey(FKey);
    }

private:
    static constexpr const wchar_t* kConnections =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    static constexpr const wchar_t* kValue = L"DefaultConnectionSettings";

    void Store(const std::string& ASettings) const {
        RegSetValueExW(FKey, kValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(ASettings.data()),
                       static_cast<DWORD>(ASettings.size()));
    }

    HKEY FKey = nullptr;
    std::optional<std::string> FOld;
};

// A transport made, as the program makes it, once the user's settings name a proxy.
class WinHttpTransportBehindAProxy : public WinHttpTransport {
protected:
    static std::string Proxy(const char* APortVariable) {
        return "127.0.0.1:" + std::string(std::getenv(APortVariable));
    }
    THttpAnswer GetBehind(const std::string& AProxy, std::string_view ABypass,
                          const std::string& AUrl) {
        const TScopedUserProxy settings(AProxy, ABypass);
        TWinHttpIOHandler transport(build_settings::TrustedCaPem());
        FRecorder = TRecorder();
        return transport.Get(AUrl, FRecorder, kTestTimeout);
    }
    // The request line of every request a proxy took so far, from its log.
    static std::vector<std::string> ProxyRequests(const char* ALogVariable) {
        std::ifstream log(std::getenv(ALogVariable));
        constexpr std::string_view marker = "]: Request (file descriptor ";
        std::vector<std::string> requests;
        for (std::string line; std::getline(log, line);) {
            const std::size_t at = line.find(marker);
            const std::size_t colon = at == std::string::npos ? at : line.find("): ", at);
            if (colon != std::string::npos) {
                requests.push_back(line.substr(colon + 3));
            }
        }
        return requests;
    }
    static std::string TunnelTo(const char* AListener) {
        return "CONNECT localhost:" + std::to_string(PortOf(AListener)) + " HTTP/1.1";
    }
    static bool Contains(const std::vector<std::string>& ALines, const std::string& ALine) {
        return std::find(ALines.begin(), ALines.end(), ALine) != ALines.end();
    }
};

TEST_F(WinHttpTransportBehindAProxy, TunnelsTlsToTheServerWhichStillGetsTheFixedHeaders) {
    const THttpAnswer answer = GetBehind(Proxy("KORVANE_PROXY_PORT"), "", Url("TLS", "/echo"));

    ASSERT_FALSE(answer.Failed) << answer.ErrorText;
    EXPECT_EQ(answer.StatusCode, 200);
    EXPECT_TRUE(Contains(ProxyRequests("KORVANE_PROXY_LOG"), TunnelTo("TLS")));
    // Inside the tunnel Wine's WinHTTP names the whole address on the request line, in HTTP/1.0;
    // Windows' sends the request line as without a proxy. The header lines are the program's.
    const auto headerLines = [](const std::string& ARequest) {
        return ARequest.substr(std::min(ARequest.find("\r\n"), ARequest.size()));
    };
    EXPECT_EQ(headerLines(FRecorder.Body), headerLines(ExpectedRequest("/echo", PortOf("TLS"))));
    EXPECT_THAT(FRecorder.Body, testing::StartsWith("GET "));

    // Plain HTTP goes through the same proxy, which forwards it.
    const std::string plain = Url("PLAIN", "/echo");
    const THttpAnswer forwarded = GetBehind(Proxy("KORVANE_PROXY_PORT"), "", plain);
    ASSERT_FALSE(forwarded.Failed) << forwarded.ErrorText;
    EXPECT_TRUE(Contains(ProxyRequests("KORVANE_PROXY_LOG"), "GET " + plain + " HTTP/1.1"));
}

TEST_F(WinHttpTransportBehindAProxy, FollowsTheSettingsAsTheyAreAtEachGet) {
    const auto proxied = [] { return ProxyRequests("KORVANE_PROXY_LOG").size(); };
    const std::size_t before = proxied();
    ASSERT_FALSE(Get(Url("TLS", "/echo")).Failed);
    EXPECT_EQ(proxied(), before) << "no proxy named yet";
    {
        // As the user changes them in Internet Options while the program waits to try again.
        const TScopedUserProxy settings(Proxy("KORVANE_PROXY_PORT"), "");
        const THttpAnswer answer = Get(Url("TLS", "/echo"));
        ASSERT_FALSE(answer.Failed) << answer.ErrorText;
        EXPECT_GT(proxied(), before);
        EXPECT_TRUE(Contains(ProxyRequests("KORVANE_PROXY_LOG"), TunnelTo("TLS")));
    }
    const std::size_t through = proxied();
    ASSERT_FALSE(Get(Url("TLS", "/echo")).Failed);
    EXPECT_EQ(proxied(), through) << "direct again once the settings name no proxy";
}

TEST_F(WinHttpTransportBehindAProxy, StillRefusesARogueServerBehindTheProxy) {
    const THttpAnswer answer =
        GetBehind(Proxy("KORVANE_PROXY_PORT"), "", Url("TLS_ROGUE", "/bytes/10"));

    EXPECT_TRUE(answer.Failed);
    EXPECT_EQ(answer.StatusCode, 0);
    EXPECT_EQ(FRecorder.Calls, "");
    EXPECT_TRUE(Contains(ProxyRequests("KORVANE_PROXY_LOG"), TunnelTo("TLS_ROGUE")));
}

TEST_F(WinHttpTransportBehindAProxy, GoesDirectlyToTheHostsTheSettingsExempt) {
    const std::size_t before = ProxyRequests("KORVANE_PROXY_LOG").size();

    const THttpAnswer answer =
        GetBehind(Proxy("KORVANE_PROXY_PORT"), "other.example;localhost", Url("TLS", "/echo"));

    ASSERT_FALSE(answer.Failed) << answer.ErrorText;
    EXPECT_EQ(FRecorder.Body, ExpectedRequest("/echo", PortOf("TLS")));
    EXPECT_EQ(ProxyRequests("KORVANE_PROXY_LOG").size(), before);
}

TEST_F(WinHttpTransportBehindAProxy, NeverGetsPastAProxyThatAsksForCredentials) {
    const std::size_t before = RequestsOn("tls").size() + RequestsOn("plain").size();

    // WinHTTP gives a refused tunnel as the proxy's answer; Wine's fails the request instead.
    const THttpAnswer tunnel =
        GetBehind(Proxy("KORVANE_GUARDED_PROXY_PORT"), "", Url("TLS", "/bytes/10"));
    EXPECT_TRUE(tunnel.Failed || tunnel.StatusCode == 407) << tunnel.StatusCode;
    EXPECT_TRUE(Contains(ProxyRequests("KORVANE_GUARDED_PROXY_LOG"), TunnelTo("TLS")));

    const THttpAnswer forwarded =
        GetBehind(Proxy("KORVANE_GUARDED_PROXY_PORT"), "", Url("PLAIN", "/bytes/10"));
    EXPECT_FALSE(forwarded.Failed) << forwarded.ErrorText;
    EXPECT_EQ(forwarded.StatusCode, 407);

    EXPECT_EQ(RequestsOn("tls").size() + RequestsOn("plain").size(), before)
        << "nothing reached the server";
}

TEST(WinHttpSchemeOf, GivesTheSchemeInLowerCaseOrNothing) {
    const TWinHttpIOHandler transport(build_settings::TrustedCaPem());
    EXPECT_EQ(transport.SchemeOf("HTTPS://localhost/x"), "https");
    EXPECT_EQ(transport.SchemeOf("http://localhost:8080/x?y"), "http");
    EXPECT_EQ(transport.SchemeOf("not a url"), "");
    EXPECT_EQ(transport.SchemeOf(""), "");
}

}  // namespace
}  // namespace korvane
