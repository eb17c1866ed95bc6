// A transport that replays scripted answers instead of going to the network, so that the client's
// and the run's rules can be checked in milliseconds: status, length, the body in pieces (each
// piece one read), framing, failures, and a raised exception.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "download/HttpTransport.h"

namespace korvane::test {

struct TScriptedAnswer {
    long StatusCode = 200;
    std::int64_t ContentLength = -1;
    std::vector<std::string> Pieces;  // the body, one read per piece
    bool Framed = true;               // its end told by the answer, not by the connection closing
    std::string RedirectUrl;
    bool Failed = false;  // the exchange broke off after the pieces
    bool TimedOut = false;
    std::string ProtocolFailure;
    std::exception_ptr Raise;  // raised by Get instead of answering
};

// What the client asked of the transport, readable after the client took the transport over.
struct TTransportLog {
    std::vector<std::string> Urls;
    int ConnectionsClosed = 0;
};

class TScriptedTransport final : public IHttpTransport {
public:
    TScriptedTransport(std::vector<TScriptedAnswer> AAnswers, std::shared_ptr<TTransportLog> ALog);

    THttpAnswer Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                    std::chrono::milliseconds AReadTimeout) override;
    void CloseConnection() override;
    // What comes before "://", in lower case.
    std::string SchemeOf(const std::string& AUrl) const override;

private:
    std::vector<TScriptedAnswer> FAnswers;
    std::size_t FNext = 0;
    const std::shared_ptr<TTransportLog> FLog;
};

}  // namespace korvane::test
