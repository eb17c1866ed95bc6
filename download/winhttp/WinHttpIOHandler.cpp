#include "download/winhttp/WinHttpIOHandler.h"

#include <shlwapi.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "download/AnswerHeaders.h"
#include "download/wincrypt/Certificates.h"
#include "platform/WindowsText.h"

namespace korvane {

namespace {

std::wstring Wide(std::string_view AText) {
    return platform::Widened(AText, CP_UTF8).value_or(std::wstring());
}

// WinHTTP's own message for its errors, the system's for the others.
std::string SystemMessage(DWORD AError) {
    wchar_t text[512] = L"";
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        GetModuleHandleW(L"winhttp.dll"), AError, 0, text, static_cast<DWORD>(std::size(text)),
        nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.')) {
        --length;
    }
    const std::string code = "error " + std::to_string(AError);
    return length == 0
               ? code
               : platform::Narrowed(std::wstring_view(text, length), CP_UTF8) + " (" + code + ")";
}

// Wine's WinHTTP passes the socket's own time-out code through where Windows gives
// ERROR_WINHTTP_TIMEOUT; both mean that a wait for the peer ran out.
bool IsTimeOut(DWORD AError) {
    return AError == ERROR_WINHTTP_TIMEOUT || AError == WSAETIMEDOUT;
}

// Why a GET ended early: the text of its answer and, when the system's call failed, that call's
// error code.
struct TGetFailure {
    std::string Why;
    DWORD Error = ERROR_SUCCESS;
};

TGetFailure FailureOf(DWORD AError) {
    return {SystemMessage(AError), AError};
}

// A header of the answer as text, or nullopt when the answer has none.
std::optional<std::wstring> QueryHeader(HINTERNET ARequest, DWORD AInfoLevel) {
    DWORD size = 0;
    WinHttpQueryHeaders(ARequest, AInfoLevel, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(ARequest, AInfoLevel, WINHTTP_HEADER_NAME_BY_INDEX, value.data(),
                             &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    value.resize(size / sizeof(wchar_t));
    return value;
}

// `ALocation` resolved against `ABase`, as UTF-8.
std::string Resolved(const std::wstring& ABase, const std::wstring& ALocation) {
    std::wstring combined(2084, L'\0');  // INTERNET_MAX_URL_LENGTH; longer ones take a second call
    auto size = static_cast<DWORD>(combined.size());
    HRESULT result = UrlCombineW(ABase.c_str(), ALocation.c_str(), combined.data(), &size, 0);
    if (result == E_POINTER) {
        combined.assign(size + 1, L'\0');
        size = static_cast<DWORD>(combined.size());
        result = UrlCombineW(ABase.c_str(), ALocation.c_str(), combined.data(), &size, 0);
    }
    if (FAILED(result)) {
        return {};
    }
    combined.resize(size);
    return platform::Narrowed(combined, CP_UTF8);
}

}  // namespace

// The state of one GET, shared with the status callback.
struct TWinHttpIOHandler::TGetState {
    TWinHttpIOHandler& Owner;
    bool CertificateChecked = false;
    bool CertificateRefused = false;
};

TWinHttpIOHandler::TWinHttpIOHandler(std::string_view ATrustedCaPem)
    : FTrustedCas(CertificatesOf(ATrustedCaPem)) {
    if (!ATrustedCaPem.empty() && FTrustedCas.empty()) {
        throw std::runtime_error("the trusted CA of the build holds no certificate");
    }
    if (!OpenSession()) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "cannot open a WinHTTP session");
    }
}

bool TWinHttpIOHandler::OpenSession() {
    FSession.reset(FProxy.OpenSession());
    if (!FSession) {
        return false;
    }
    // The program starts what it downloads: TLS 1.2 or later only. A WinHTTP that predates
    // TLS 1.3 refuses the flag.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (WinHttpSetOption(FSession.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                         sizeof(protocols))) {
        return true;
    }
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    return WinHttpSetOption(FSession.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                            sizeof(protocols));
}

bool TWinHttpIOHandler::FollowProxySettings() {
    TUserProxy current;
    if (current == FProxy) {
        return true;
    }
    // The session's proxy is fixed when it opens; its cookies go with it.
    FProxy = std::move(current);
    return OpenSession();
}

TWinHttpIOHandler::~TWinHttpIOHandler() {
    CloseConnection();
}

// The chain is built from the server's certificates and the trusted CAs over the system's, and
// must end in one of the trusted CAs with no other fault.
bool TWinHttpIOHandler::ChainsToTrustedCa(PCCERT_CONTEXT AServerCertificate) const {
    const TStore extra(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!extra) {
        return false;
    }
    for (const TCertificate& ca : FTrustedCas) {
        CertAddCertificateContextToStore(extra.get(), ca.get(), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    if (AServerCertificate->hCertStore != nullptr) {
        for (PCCERT_CONTEXT sent = nullptr;
             (sent = CertEnumCertificatesInStore(AServerCertificate->hCertStore, sent)) !=
             nullptr;) {
            CertAddCertificateContextToStore(extra.get(), sent, CERT_STORE_ADD_USE_EXISTING,
                                             nullptr);
        }
    }
    const TChain chain =
        ChainFor(AServerCertificate, szOID_PKIX_KP_SERVER_AUTH, nullptr, extra.get());
    if (!chain) {
        return false;
    }
    // The trusted CA is not in the system's root store, so its chain counts as untrusted there.
    if ((chain->TrustStatus.dwErrorStatus & ~DWORD{CERT_TRUST_IS_UNTRUSTED_ROOT}) != 0 ||
        chain->cChain != 1 || chain->rgpChain[0]->cElement == 0) {
        return false;
    }
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    PCCERT_CONTEXT root = simple.rgpElement[simple.cElement - 1]->pCertContext;
    return std::any_of(FTrustedCas.begin(), FTrustedCas.end(),
                       [&](const TCertificate& ACa) { return SameCertificate(ACa.get(), root); });
}

// Runs inside WinHttpSendRequest, after the TLS handshake and before the request goes out: the
// place where no byte has been sent to, or taken from, a server that is not yet vouched for.
void CALLBACK TWinHttpIOHandler::OnStatus(HINTERNET AHandle, DWORD_PTR AContext, DWORD AStatus,
                                          LPVOID, DWORD) {
    if (AStatus != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || AContext == 0) {
        return;
    }
    auto& state = *reinterpret_cast<TGetState*>(AContext);
    PCCERT_CONTEXT received = nullptr;
    DWORD size = sizeof(received);
    if (!WinHttpQueryOption(AHandle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &received, &size)) {
        received = nullptr;
    }
    const TCertificate certificate(received);
    state.CertificateChecked = true;
    state.CertificateRefused = !certificate || !state.Owner.ChainsToTrustedCa(certificate.get());
    if (state.CertificateRefused && state.Owner.FRequest.get() == AHandle) {
        // Closing the request here is how WinHTTP is told not to send it.
        WinHttpCloseHandle(state.Owner.FRequest.release());
    }
}

THttpAnswer TWinHttpIOHandler::Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                                   std::chrono::milliseconds AReadTimeout) {
    // The handles of the last GET go first, and with them any connection they kept.
    CloseConnection();
    THttpAnswer answer;
    try {
        // Read at each GET, so that a new run follows settings the user has changed since the last.
        if (!FollowProxySettings()) {
            throw FailureOf(GetLastError());
        }
        const TAddress address = ReadAddress(AUrl);
        Open(address);
        Configure(address, AReadTimeout);
        AddHeaderLines(address);
        Send(address);
        const std::optional<std::int64_t> length = ReadHead(address, answer);
        ReadBody(AReceiver, answer, length);
    } catch (const TGetFailure& failure) {
        // The answer keeps what was read of it before the failure.
        answer.Failed = true;
        answer.ErrorText = failure.Why;
        answer.TimedOut = IsTimeOut(failure.Error);
        CloseConnection();
    }
    return answer;
}

// WinHTTP's parser, so that the request goes where SchemeOf says; plain HTTP and HTTPS only.
TWinHttpIOHandler::TAddress TWinHttpIOHandler::ReadAddress(const std::string& AUrl) {
    TAddress address;
    address.Url = Wide(AUrl);
    const std::wstring& url = address.Url;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        throw FailureOf(GetLastError());
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        throw FailureOf(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    }
    address.Secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    address.Host.assign(parts.lpszHostName, parts.dwHostNameLength);
    address.Port = parts.nPort;
    // WinHTTP counts the fragment as part of the extra information; it is not sent.
    const std::wstring_view extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    address.Target.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    address.Target += extra.substr(0, extra.find(L'#'));
    if (address.Target.empty() || address.Target.front() != L'/') {
        address.Target.insert(0, 1, L'/');
    }
    return address;
}

// The connection and request handles; the user's proxy settings choose the proxy for the address.
void TWinHttpIOHandler::Open(const TAddress& AAddress) {
    FConnect.reset(WinHttpConnect(FSession.get(), AAddress.Host.c_str(), AAddress.Port, 0));
    if (!FConnect) {
        throw FailureOf(GetLastError());
    }
    FRequest.reset(WinHttpOpenRequest(FConnect.get(), L"GET", AAddress.Target.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      AAddress.Secure ? WINHTTP_FLAG_SECURE : 0));
    if (!FRequest) {
        throw FailureOf(GetLastError());
    }
    FProxy.ChooseFor(FSession.get(), FRequest.get(), AAddress.Url);
}

// The caller sees each answer as the server sent it, within the time-out, from a server that the
// pinned authority vouches for.
void TWinHttpIOHandler::Configure(const TAddress& AAddress,
                                  std::chrono::milliseconds AReadTimeout) {
    const HINTERNET request = FRequest.get();
    // Redirects are followed hop by hop by the caller; a 401 is not answered with credentials.
    // Without keep-alive WinHTTP sends no "Connection" header: the request stays as it has
    // always been, and every GET has a connection of its own.
    DWORD disabled =
        WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    // The read time-out bounds every wait of the GET, as the Linux build's watch does from the
    // moment the GET starts: the name, the connection, the request, the headers and each read.
    const auto timeout = static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(AReadTimeout.count(), 1, INT_MAX));
    DWORD headersTimeout = static_cast<DWORD>(timeout);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled)) ||
        !WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects)) ||
        !WinHttpSetTimeouts(request, timeout, timeout, timeout, timeout) ||
        !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersTimeout,
                          sizeof(headersTimeout))) {
        throw FailureOf(GetLastError());
    }
    if (Pinned(AAddress)) {
        // WinHTTP still checks the host name and the dates; the callback checks the root.
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)) ||
            WinHttpSetStatusCallback(request, &OnStatus, WINHTTP_CALLBACK_STATUS_SENDING_REQUEST,
                                     0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            throw FailureOf(GetLastError());
        }
    }
}

// The header lines as the server has always had them: the Host line, then the program's fixed ones.
void TWinHttpIOHandler::AddHeaderLines(const TAddress& AAddress) {
    std::wstring headerLines = L"Host: " + AAddress.Host;
    if (AAddress.Port !=
        (AAddress.Secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT)) {
        headerLines += L":" + std::to_wstring(AAddress.Port);
    }
    for (const std::string_view line : kRequestHeaderLines) {
        headerLines += L"\r\n";
        headerLines.append(line.begin(), line.end());  // ASCII
    }
    if (!WinHttpAddRequestHeaders(FRequest.get(), headerLines.c_str(),
                                  static_cast<DWORD>(headerLines.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD)) {
        throw FailureOf(GetLastError());
    }
}

// Sends the request, unless the pinned authority refused the server first.
void TWinHttpIOHandler::Send(const TAddress& AAddress) {
    TGetState state{.Owner = *this};
    const BOOL sent =
        WinHttpSendRequest(FRequest.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                           WINHTTP_NO_REQUEST_DATA, 0, 0, reinterpret_cast<DWORD_PTR>(&state));
    const DWORD sendError = GetLastError();
    // A callback that never ran checked nothing: that counts as a refusal.
    if (Pinned(AAddress) && (state.CertificateRefused || (sent && !state.CertificateChecked))) {
        throw TGetFailure{"the server's certificate does not chain to the trusted authority"};
    }
    if (!sent) {
        throw FailureOf(sendError);
    }
}

// The status and the header lines, read by the core's rules; returns the body's announced length.
std::optional<std::int64_t> TWinHttpIOHandler::ReadHead(const TAddress& AAddress,
                                                        THttpAnswer& AAnswer) {
    const HINTERNET request = FRequest.get();
    if (!WinHttpReceiveResponse(request, nullptr)) {
        throw FailureOf(GetLastError());
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        throw FailureOf(GetLastError());
    }
    AAnswer.StatusCode = static_cast<long>(status);
    // WinHTTP decodes the header bytes with the ANSI code page; the same page gives them back.
    const std::string raw = platform::Narrowed(
        QueryHeader(request, WINHTTP_QUERY_RAW_HEADERS_CRLF).value_or(L""), CP_ACP);
    TAnswerHeaders headers;
    for (std::size_t begin = 0; begin < raw.size();) {
        const auto end = std::min(raw.find("\r\n", begin), raw.size());
        const std::string_view line(raw.data() + begin, end - begin);
        if (line.empty()) {
            break;
        }
        if (std::optional<std::string> refusal = headers.Take(line)) {
            AAnswer.StatusLine = headers.StatusLine();
            AAnswer.ProtocolFailure = *refusal;
            throw TGetFailure{std::move(*refusal)};
        }
        begin = end + 2;
    }
    AAnswer.StatusLine = headers.StatusLine();
    // WinHTTP ends a chunked body that the connection cut off between two chunks exactly as one
    // that had its last chunk, and says nothing of which it was: a chunked body counts as ended
    // by the close. The length is WinHTTP's to ignore then.
    const bool chunked = headers.Chunked();
    const std::optional<std::int64_t> length = chunked ? std::nullopt : headers.ContentLength();
    AAnswer.ContentLength = length.value_or(-1);
    AAnswer.Framed = headers.TellsTheBodysEnd(AAnswer.StatusCode, false);
    if (status >= 300 && status <= 399) {
        if (const std::optional<std::wstring> location =
                QueryHeader(request, WINHTTP_QUERY_LOCATION)) {
            AAnswer.RedirectUrl = Resolved(AAddress.Url, *location);
        }
    }
    return length;
}

// Hands the body to the receiver as it arrives, and refuses one cut short of `ALength`.
void TWinHttpIOHandler::ReadBody(IHttpReceiver& AReceiver, THttpAnswer& AAnswer,
                                 std::optional<std::int64_t> ALength) {
    const HINTERNET request = FRequest.get();
    // One read of at most the receive buffer's size at a time, of what has arrived: each read
    // is one piece and ends one block.
    std::string buffer(kReceiveBufferSize, '\0');
    std::int64_t received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            throw FailureOf(GetLastError());
        }
        if (available == 0) {
            break;
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(),
                             std::min<DWORD>(available, static_cast<DWORD>(buffer.size())),
                             &read)) {
            throw FailureOf(GetLastError());
        }
        if (read == 0) {
            break;
        }
        if (received == 0) {
            AReceiver.BodyBegin(AAnswer.StatusCode, AAnswer.ContentLength);
        }
        received += read;
        if (!AReceiver.BodyPiece(std::string_view(buffer.data(), read)) || !AReceiver.ReadDone()) {
            throw TGetFailure{"the transfer was stopped"};
        }
    }
    // WinHTTP ends a body cut short of its length as if it were whole.
    if (ALength && received < *ALength) {
        throw TGetFailure{"the body ended after " + std::to_string(received) + " of " +
                          std::to_string(*ALength) + " bytes"};
    }
}

void TWinHttpIOHandler::CloseConnection() {
    FRequest.reset();
    FConnect.reset();
}

std::string TWinHttpIOHandler::SchemeOf(const std::string& AUrl) const {
    // The parser that Get builds its request with, so that both read an address alike.
    const std::wstring url = Wide(AUrl);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        return {};
    }
    switch (parts.nScheme) {
        case INTERNET_SCHEME_HTTP:
            return "http";
        case INTERNET_SCHEME_HTTPS:
            return "https";
        default:
            return {};
    }
}

}  // namespace korvane
