#include "support/ScriptedTransport.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace korvane::test {

TScriptedTransport::TScriptedTransport(std::vector<TScriptedAnswer> AAnswers,
                                       std::shared_ptr<TTransportLog> ALog)
    : FAnswers(std::move(AAnswers)), FLog(std::move(ALog)) {}

THttpAnswer TScriptedTransport::Get(const std::string& AUrl, IHttpReceiver& AReceiver,
                                    std::chrono::milliseconds) {
    FLog->Urls.push_back(AUrl);
    THttpAnswer answer;
    if (FNext == FAnswers.size()) {
        answer.Failed = true;
        answer.ErrorText = "no answer scripted for " + AUrl;
        return answer;
    }
    const TScriptedAnswer& scripted = FAnswers[FNext++];
    if (scripted.Raise) {
        std::rethrow_exception(scripted.Raise);
    }
    answer.ProtocolFailure = scripted.ProtocolFailure;
    if (!answer.ProtocolFailure.empty()) {
        answer.Failed = true;
        return answer;
    }
    answer.StatusCode = scripted.StatusCode;
    answer.StatusLine = "HTTP/1.1 " + std::to_string(scripted.StatusCode);
    answer.ContentLength = scripted.ContentLength;
    answer.RedirectUrl = scripted.RedirectUrl;
    answer.Framed = scripted.Framed;
    for (std::size_t piece = 0; piece < scripted.Pieces.size(); ++piece) {
        if (piece == 0) {
            AReceiver.BodyBegin(scripted.StatusCode, scripted.ContentLength);
        }
        // As the libraries do, a receiver that stops the transfer breaks the exchange off.
        if (!AReceiver.BodyPiece(scripted.Pieces[piece]) || !AReceiver.ReadDone()) {
            answer.Failed = true;
            answer.ErrorText = "stopped by the receiver";
            return answer;
        }
    }
    answer.Failed = scripted.Failed || scripted.TimedOut;
    answer.TimedOut = scripted.TimedOut;
    if (answer.Failed) {
        answer.ErrorText = "broken off";
        answer.Framed = false;
    }
    return answer;
}

void TScriptedTransport::CloseConnection() {
    ++FLog->ConnectionsClosed;
}

std::string TScriptedTransport::SchemeOf(const std::string& AUrl) const {
    const auto end = AUrl.find("://");
    if (end == std::string::npos) {
        return {};
    }
    std::string scheme = AUrl.substr(0, end);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char ACharacter) {
        return static_cast<char>(std::tolower(ACharacter));
    });
    return scheme;
}

}  // namespace korvane::test
