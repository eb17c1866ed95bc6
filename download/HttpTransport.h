// What the HTTP client asks of the system's HTTP library: one GET, redirects not followed, its body
// handed over piece by piece as it arrives. Each platform has one implementation.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// The receive buffer: at most this much is read from the connection at a time.
inline constexpr std::size_t kReceiveBufferSize = 32768;

// The header lines of every request after its Host line: the request the download server has
// always received, header for header.
// clang-format off
inline constexpr const char* kRequestHeaderLines[] = {
    "Accept: text/html, */*",
    "Accept-Encoding: identity",
    "User-Agent: Mozilla/3.0 (compatible; Indy Library)",
    "Authorization: Basic Og==",  // an empty user name and password
};
// clang-format on

// Receives one answer as the library delivers it. No call throws: the library below may be C.
class IHttpReceiver {
public:
    virtual ~IHttpReceiver() = default;
    // The first byte of the body has arrived. `AContentLength` is -1 when the answer has none.
    virtual void BodyBegin(long AStatusCode, std::int64_t AContentLength) = 0;
    // A piece of the body, at most kReceiveBufferSize bytes. Returning false stops the transfer.
    virtual bool BodyPiece(std::string_view APiece) = 0;
    // Everything read from the connection so far has been handed over. Returning false stops the
    // transfer.
    virtual bool ReadDone() = 0;
};

// What one GET brought back.
struct THttpAnswer {
    bool Failed = false;    // the exchange broke off: no connection, TLS, time-out, a cut body
    std::string ErrorText;  // the library's description when Failed
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

// Carries every connection of one client, plain or TLS, and keeps its cookies. Addresses are
// UTF-8.
class IHttpTransport {
public:
    virtual ~IHttpTransport() = default;

    // One GET of `AUrl`, redirects not followed, with the program's fixed request and TLS rules.
    // Fails when no data arrives for `AReadTimeout`.
    virtual THttpAnswer Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                            std::chrono::milliseconds AReadTimeout) = 0;

    // Closes the connection; cookies are kept.
    virtual void CloseConnection() = 0;

    // The scheme of `AUrl` in lower case, as Get reads it; empty when it cannot read it.
    virtual std::string SchemeOf(const std::string& AUrl) const = 0;
};

}  // namespace korvane
