// The libcurl side of the HTTP client: owns the easy handle, and with it the open connection and
// the cookies, and performs single GETs with the program's fixed request and TLS settings.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvane {

// Receives one answer as libcurl delivers it. No call may throw: libcurl is C.
class IHttpReceiver {
public:
    virtual ~IHttpReceiver() = default;
    // The first byte of the body has arrived. `AContentLength` is -1 when the answer has none.
    virtual void BodyBegin(long AStatusCode, std::int64_t AContentLength) = 0;
    // A piece of the body, at most CURL_MAX_WRITE_SIZE bytes. Returning false stops the transfer.
    virtual bool BodyPiece(std::string_view APiece) = 0;
    // Everything read from the connection so far has been handed over. Returning false stops the
    // transfer.
    virtual bool ReadDone() = 0;
};

// The receive buffer: libcurl reads at most this much from the connection at a time.
inline constexpr long kReceiveBufferSize = 32768;

// What one GET brought back.
struct THttpAnswer {
    CURLcode Result = CURLE_OK;
    std::string ErrorText;  // libcurl's description when Result is not CURLE_OK
    bool TimedOut = false;  // a wait for data exceeded the read time-out
    // Why the answer was refused before its body, when it was: its status line or header.
    std::string ProtocolFailure;
    // The body's end was told by the answer itself (its length, its last chunk, or a status that
    // has no body), not by the connection closing.
    bool Framed = false;
    long StatusCode = 0;     // 0 when no status line arrived
    std::string StatusLine;  // the final status line, without its line end
    std::int64_t ContentLength = -1;
    std::string RedirectUrl;  // the "Location" resolved against the address; empty when absent
};

class TCurlIOHandler {
public:
    TCurlIOHandler();
    TCurlIOHandler(const TCurlIOHandler&) = delete;
    TCurlIOHandler& operator=(const TCurlIOHandler&) = delete;
    ~TCurlIOHandler();

    // One GET of `AUrl`, redirects not followed. Fails when no data arrives for `AReadTimeout`.
    THttpAnswer Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                    std::chrono::milliseconds AReadTimeout);

    // Whether the connection left by the last GET is still open.
    bool Connected() const;

    // Closes the connection; cookies are kept.
    void CloseConnection();

    // The scheme of `AUrl` in lower case, or empty when `AUrl` cannot be parsed.
    static std::string SchemeOf(const std::string& AUrl);

private:
    struct TEasyDeleter {
        void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
    };
    struct TShareDeleter {
        void operator()(CURLSH* AHandle) const { curl_share_cleanup(AHandle); }
    };
    struct TSlistDeleter {
        void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
    };

    void OpenEasyHandle();

    std::unique_ptr<CURLSH, TShareDeleter> FCookies;
    std::unique_ptr<curl_slist, TSlistDeleter> FRequestHeaders;
    std::unique_ptr<CURL, TEasyDeleter> FEasy;
};

}  // namespace korvane
