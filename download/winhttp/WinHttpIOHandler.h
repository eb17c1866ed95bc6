// The HTTP transport over WinHTTP: owns the session, and with it the cookies, and the handles of
// the last GET, and performs single GETs with the program's fixed request and TLS settings.
#pragma once

// In this order: winhttp.h declares WINHTTP_CONNECTION_INFO only after winsock2.h, and the
// others need windows.h before them.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/HttpTransport.h"
#include "download/wincrypt/Certificates.h"
#include "download/winhttp/UserProxy.h"

namespace korvane {

class TWinHttpIOHandler final : public IHttpTransport {
public:
    // Trusts the authorities in `ATrustedCaPem` alone, or the system's store when it is empty.
    explicit TWinHttpIOHandler(std::string_view ATrustedCaPem);
    TWinHttpIOHandler(const TWinHttpIOHandler&) = delete;
    TWinHttpIOHandler& operator=(const TWinHttpIOHandler&) = delete;
    ~TWinHttpIOHandler() override;

    THttpAnswer Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                    std::chrono::milliseconds AReadTimeout) override;
    void CloseConnection() override;
    std::string SchemeOf(const std::string& AUrl) const override;

    struct TInternetCloser {
        void operator()(HINTERNET AHandle) const { WinHttpCloseHandle(AHandle); }
    };
    using TInternet = std::unique_ptr<void, TInternetCloser>;

private:
    struct TGetState;
    // Where one GET goes, read from its address.
    struct TAddress {
        std::wstring Url;
        std::wstring Host;
        INTERNET_PORT Port = 0;
        std::wstring Target;  // path and query, without the fragment
        bool Secure = false;
    };

    // The steps of one GET, in order; each throws TGetFailure (WinHttpIOHandler.cpp) when it
    // cannot go on.
    static TAddress ReadAddress(const std::string& AUrl);
    void Open(const TAddress& AAddress);
    void Configure(const TAddress& AAddress, std::chrono::milliseconds AReadTimeout);
    void AddHeaderLines(const TAddress& AAddress);
    void Send(const TAddress& AAddress);
    std::optional<std::int64_t> ReadHead(const TAddress& AAddress, THttpAnswer& AAnswer);
    void ReadBody(IHttpReceiver& AReceiver, THttpAnswer& AAnswer,
                  std::optional<std::int64_t> ALength);
    // True when the server's certificate must chain to FTrustedCas.
    bool Pinned(const TAddress& AAddress) const { return AAddress.Secure && !FTrustedCas.empty(); }

    static void CALLBACK OnStatus(HINTERNET AHandle, DWORD_PTR AContext, DWORD AStatus,
                                  LPVOID AInformation, DWORD AInformationLength);
    bool ChainsToTrustedCa(PCCERT_CONTEXT AServerCertificate) const;
    // Opens the session through FProxy's proxy; false when WinHTTP would not.
    bool OpenSession();
    // Reads the user's proxy settings again; when they changed, the session follows them.
    bool FollowProxySettings();

    std::vector<TCertificate> FTrustedCas;  // empty: the system's trust store decides
    TUserProxy FProxy;
    TInternet FSession;  // keeps the cookies
    // The last GET's; its connection is closed when the body was read to its end.
    TInternet FConnect;
    TInternet FRequest;
};

}  // namespace korvane
