#include "download/curl/CurlIOHandler.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "download/AnswerHeaders.h"
#include "download/curl/UserProxy.h"

namespace korvane {

namespace {

using TClock = std::chrono::steady_clock;

// The state of one GET, shared with libcurl's callbacks.
struct TGetState {
    CURL* Easy = nullptr;
    IHttpReceiver& Receiver;
    THttpAnswer& Answer;
    const std::chrono::milliseconds ReadTimeout;
    TClock::time_point LastData = TClock::now();
    bool BodyStarted = false;
    TAnswerHeaders Headers{};
};

// Refuses the answer being read: libcurl stops as soon as the callback returns.
size_t Refuse(TGetState& AState, std::string AWhy) {
    AState.Answer.ProtocolFailure = std::move(AWhy);
    return 0;
}

size_t OnHeader(char* AData, size_t ASize, size_t ACount, void* AState) {
    auto& state = *static_cast<TGetState*>(AState);
    const std::string_view line(AData, ASize * ACount);
    state.LastData = TClock::now();
    // libcurl hands over every status line, those of interim 1xx answers too; the last one counts.
    if (std::optional<std::string> refusal = state.Headers.Take(line)) {
        return Refuse(state, std::move(*refusal));
    }
    return line.size();
}

size_t OnBody(char* AData, size_t ASize, size_t ACount, void* AState) {
    auto& state = *static_cast<TGetState*>(AState);
    const std::string_view block(AData, ASize * ACount);
    state.LastData = TClock::now();
    if (!state.BodyStarted) {
        state.BodyStarted = true;
        long status = 0;
        curl_off_t length = -1;
        curl_easy_getinfo(state.Easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(state.Easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        state.Receiver.BodyBegin(status, length);
    }
    // Any other count than the piece's size makes libcurl stop with CURLE_WRITE_ERROR.
    return state.Receiver.BodyPiece(block) ? block.size() : 0;
}

// Called by libcurl after each read from the connection, and about once a second while it waits:
// the place to end a block and to notice a silent peer.
int OnTransferInfo(void* AState, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& state = *static_cast<TGetState*>(AState);
    if (!state.Receiver.ReadDone()) {
        return 1;
    }
    if (TClock::now() - state.LastData > state.ReadTimeout) {
        state.Answer.TimedOut = true;
        return 1;
    }
    return 0;
}

template <class TValue>
void SetOption(CURL* AEasy, CURLoption AOption, TValue AValue) {
    if (const CURLcode result = curl_easy_setopt(AEasy, AOption, AValue); result != CURLE_OK) {
        throw std::runtime_error(std::string("libcurl refused an option: ") +
                                 curl_easy_strerror(result));
    }
}

}  // namespace

TCurlIOHandler::TCurlIOHandler(std::string_view ATrustedCaPem)
    : FTrustedCaPem(ATrustedCaPem), FCookies(curl_share_init()) {
    if (!FCookies ||
        curl_share_setopt(FCookies.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK) {
        throw std::bad_alloc();
    }
    for (const char* header : kRequestHeaderLines) {
        curl_slist* const list = curl_slist_append(FRequestHeaders.get(), header);
        if (list == nullptr) {
            throw std::bad_alloc();
        }
        FRequestHeaders.release();
        FRequestHeaders.reset(list);
    }
    // The easy handle waits for the first GET: creating it sets up libcurl and OpenSSL (their
    // configuration read, some 2 MiB of their code paged in), which showing the window can do
    // without.
}

TCurlIOHandler::~TCurlIOHandler() = default;

std::unique_ptr<CURL, TCurlIOHandler::TEasyDeleter> TCurlIOHandler::NewEasyHandle() const {
    std::unique_ptr<CURL, TEasyDeleter> easy(curl_easy_init());
    if (!easy) {
        throw std::bad_alloc();
    }
    CURL* const handle = easy.get();
    SetOption(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    SetOption(handle, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1});
    SetOption(handle, CURLOPT_HTTPHEADER, FRequestHeaders.get());
    // Redirects are followed hop by hop by the caller.
    SetOption(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // A proxy's answer to CONNECT is not the server's and stays out of the header checks.
    SetOption(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // A proxy that asks who the user is gets the user's Kerberos ticket (Negotiate), or the name
    // and password written in its address (Basic, Digest), once: a second 407 ends the GET.
    SetOption(handle, CURLOPT_PROXYAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_BASIC | CURLAUTH_DIGEST);
    SetOption(handle, CURLOPT_NOSIGNAL, 1L);
    SetOption(handle, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBufferSize));
    SetOption(handle, CURLOPT_MAXCONNECTS, 1L);  // one connection, as the caller reasons about
    SetOption(handle, CURLOPT_SHARE, FCookies.get());
    SetOption(handle, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing read from disk

    // The program starts what it downloads: only an authenticated server may supply it.
    SetOption(handle, CURLOPT_SSLVERSION, long{CURL_SSLVERSION_TLSv1_2});
    SetOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    SetOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!FTrustedCaPem.empty()) {
        // The build's authority alone, from the executable's own bytes: neither the system's
        // bundle nor its directory of certificates is read.
        curl_blob authority{.data = const_cast<char*>(FTrustedCaPem.data()),
                            .len = FTrustedCaPem.size(),
                            .flags = CURL_BLOB_NOCOPY};
        SetOption(handle, CURLOPT_CAINFO_BLOB, &authority);
        SetOption(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        SetOption(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }

    SetOption(handle, CURLOPT_HEADERFUNCTION, &OnHeader);
    SetOption(handle, CURLOPT_WRITEFUNCTION, &OnBody);
    SetOption(handle, CURLOPT_XFERINFOFUNCTION, &OnTransferInfo);
    SetOption(handle, CURLOPT_NOPROGRESS, 0L);
    return easy;
}

THttpAnswer TCurlIOHandler::Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                                std::chrono::milliseconds AReadTimeout) {
    if (!FEasy) {
        FEasy = NewEasyHandle();
    }
    THttpAnswer answer;
    TGetState state{
        .Easy = FEasy.get(), .Receiver = AReceiver, .Answer = answer, .ReadTimeout = AReadTimeout};
    char errorText[CURL_ERROR_SIZE] = "";
    CURL* const handle = FEasy.get();
    SetOption(handle, CURLOPT_URL, AUrl.c_str());
    // The proxy that the user's environment names (https_proxy, no_proxy...), as libcurl reads
    // it; else the one that the desktop's settings name for this address, asked at each GET so
    // that "Recommencer" follows what the user changed meanwhile.
    const std::string environment = EnvironmentProxy(SchemeOf(AUrl));
    const std::optional<TDesktopProxy> desktop =
        environment.empty() ? DesktopProxyFor(AUrl) : std::nullopt;
    SetOption(handle, CURLOPT_PROXY, desktop ? desktop->Proxy.c_str() : nullptr);
    SetOption(handle, CURLOPT_NOPROXY, desktop ? desktop->NoProxy.c_str() : nullptr);
    // libcurl answers a proxy only with credentials. Without any in its address the empty name
    // goes, which Negotiate takes for the ticket's owner; those in the address go to the proxy
    // alone, never to the server.
    const std::string& proxy = desktop ? desktop->Proxy : environment;
    SetOption(handle, CURLOPT_PROXYUSERPWD, CarriesCredentials(proxy) ? nullptr : ":");
    SetOption(handle, CURLOPT_ERRORBUFFER, errorText);
    SetOption(handle, CURLOPT_HEADERDATA, &state);
    SetOption(handle, CURLOPT_WRITEDATA, &state);
    SetOption(handle, CURLOPT_XFERINFODATA, &state);

    const CURLcode result = curl_easy_perform(handle);
    answer.Failed = result != CURLE_OK;
    answer.ErrorText = *errorText != '\0' ? errorText : curl_easy_strerror(result);
    answer.StatusLine = state.Headers.StatusLine();
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer.StatusCode);
    answer.Framed = state.Headers.TellsTheBodysEnd(answer.StatusCode, true);
    curl_off_t length = -1;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    answer.ContentLength = length;
    const char* redirect = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK &&
        redirect != nullptr) {
        answer.RedirectUrl = redirect;
    }

    // Nothing may point at this call's locals once it returns.
    SetOption(handle, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    SetOption(handle, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
    SetOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    SetOption(handle, CURLOPT_XFERINFODATA, static_cast<void*>(nullptr));
    return answer;
}

void TCurlIOHandler::CloseConnection() {
    // The handle's cleanup closes the connection it kept; the next GET opens a new one.
    FEasy.reset();
}

std::string TCurlIOHandler::SchemeOf(const std::string& AUrl) const {
    struct TUrlDeleter {
        void operator()(CURLU* AUrl) const { curl_url_cleanup(AUrl); }
    };
    const std::unique_ptr<CURLU, TUrlDeleter> url(curl_url());
    char* scheme = nullptr;
    if (!url || curl_url_set(url.get(), CURLUPART_URL, AUrl.c_str(), 0) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return {};
    }
    std::string result(scheme);
    curl_free(scheme);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char ACharacter) {
        return static_cast<char>(std::tolower(ACharacter));
    });
    return result;
}

}  // namespace korvane
