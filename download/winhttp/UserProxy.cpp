#include "download/winhttp/UserProxy.h"

#include <memory>

namespace korvane {

namespace {

// WinHTTP hands its proxy strings over in memory from GlobalAlloc.
struct TGlobalFreer {
    void operator()(wchar_t* AText) const { GlobalFree(AText); }
};
using TGlobalText = std::unique_ptr<wchar_t, TGlobalFreer>;

std::wstring Taken(wchar_t* AText) {
    const TGlobalText owned(AText);
    return owned ? std::wstring(owned.get()) : std::wstring();
}

}  // namespace

TUserProxy::TUserProxy() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
        return;
    }
    FAutoDetect = settings.fAutoDetect != FALSE;
    FAutoConfigUrl = Taken(settings.lpszAutoConfigUrl);
    FProxy = Taken(settings.lpszProxy);
    FBypass = Taken(settings.lpszProxyBypass);
}

HINTERNET TUserProxy::OpenSession() const {
    // No agent string: the User-Agent is one of the fixed request headers, in its place.
    if (FProxy.empty()) {
        return WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    }
    return WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY, FProxy.c_str(),
                       FBypass.empty() ? WINHTTP_NO_PROXY_BYPASS : FBypass.c_str(), 0);
}

void TUserProxy::ChooseFor(HINTERNET ASession, HINTERNET ARequest, const std::wstring& AUrl) const {
    if (!FAutoDetect && FAutoConfigUrl.empty()) {
        return;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (FAutoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!FAutoConfigUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = FAutoConfigUrl.c_str();
    }
    // The program sends no credentials, to a proxy's script server neither.
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO chosen{};
    if (!WinHttpGetProxyForUrl(ASession, AUrl.c_str(), &options, &chosen)) {
        return;
    }
    const TGlobalText proxy(chosen.lpszProxy);
    const TGlobalText bypass(chosen.lpszProxyBypass);
    WinHttpSetOption(ARequest, WINHTTP_OPTION_PROXY, &chosen, sizeof(chosen));
}

}  // namespace korvane
