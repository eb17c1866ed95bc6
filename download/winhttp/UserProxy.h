// The proxy that the user's Internet settings name, followed as Windows' own downloads follow it.
#pragma once

#include <windows.h>
#include <winhttp.h>
#include <winsock2.h>

#include <string>

namespace korvane {

class TUserProxy {
public:
    // Reads the current user's settings; settings that cannot be read count as none.
    TUserProxy();

    // A WinHTTP session that goes through the manual proxy, except to the hosts the settings
    // exempt; a direct one when there is no manual proxy. The caller owns the handle.
    HINTERNET OpenSession() const;
    // Where the settings ask for an automatic configuration (detected, or a script at an
    // address), gives `ARequest` the proxy that it chooses for `AUrl`. When there is none, or it
    // cannot be had, the session's proxy holds.
    void ChooseFor(HINTERNET ASession, HINTERNET ARequest, const std::wstring& AUrl) const;

    bool operator==(const TUserProxy&) const = default;

private:
    bool FAutoDetect = false;
    std::wstring FAutoConfigUrl;
    std::wstring FProxy;   // "host:port", or per scheme: "http=host:port;https=host:port"
    std::wstring FBypass;  // host names separated by ";", "<local>" for names without a dot
};

}  // namespace korvane
