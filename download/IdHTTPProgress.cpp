#include "download/IdHTTPProgress.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <span>
#include <system_error>

#include "platform/Platform.h"

namespace korvane {

namespace {

// A redirect chain this long is taken for a loop.
constexpr int kMaxRedirectAnswers = 15;

bool IsSuccess(long AStatusCode) {
    return AStatusCode >= 200 && AStatusCode <= 299;
}

bool IsRedirect(const THttpAnswer& AAnswer) {
    return AAnswer.StatusCode >= 300 && AAnswer.StatusCode <= 399 && AAnswer.StatusCode != 304 &&
           !AAnswer.RedirectUrl.empty();
}

}  // namespace

// Receives the answers of one DownloadFile call: the body of a success goes into the file, every
// body moves the progress. Failures are kept until libcurl has returned, since they must not
// unwind through it.
class TIdHTTPProgress::TTransfer final : public IHttpReceiver {
public:
    TTransfer(TIdHTTPProgress& AClient, platform::TFile& AFile) : FClient(AClient), FFile(AFile) {}

    void StartAnswer() {
        FBodyStarted = false;
        FToFile = false;
        FReceived = 0;
        FUnreported = 0;
    }

    bool BodyStarted() const { return FBodyStarted; }

    void BodyBegin(long AStatusCode, std::int64_t AContentLength) override {
        FBodyStarted = true;
        FToFile = IsSuccess(AStatusCode);
        Guarded([&] {
            // Reserve the announced size up front; EndFileBody cuts the file back to what arrived.
            if (FToFile && AContentLength > 0) {
                FFile.Resize(AContentLength);
            }
            FClient.HandleWorkBegin(std::max<std::int64_t>(AContentLength, 0));
        });
    }

    // libcurl hands a read over in pieces of at most 16 KiB; a block is what one read brought, up
    // to the size of the receive buffer, and gets one progress event.
    bool BodyPiece(std::string_view APiece) override {
        Guarded([&] {
            const auto size = static_cast<std::int64_t>(APiece.size());
            if (FUnreported + size > kReceiveBufferSize) {
                EndBlock();
            }
            if (FToFile) {
                FFile.Write(std::as_bytes(std::span(APiece)));
                FWritten += size;
            }
            FReceived += size;
            FUnreported += size;
            if (FUnreported == kReceiveBufferSize) {
                EndBlock();
            }
        });
        return Continuing();
    }

    bool ReadDone() override {
        Guarded([&] { EndBlock(); });
        return Continuing();
    }

    // Ends the block in progress, if any: the progress event for the bytes received.
    void EndBlock() {
        if (FUnreported != 0) {
            FUnreported = 0;
            FClient.HandleWork(FReceived);
        }
    }

    bool Continuing() const { return !FFailure && !FClient.FCancelRequested; }

    // Raises what a callback could not.
    void RethrowFailure() const {
        if (FFailure) {
            std::rethrow_exception(FFailure);
        }
    }

    // After an answer: a body that went into the file leaves exactly the bytes that arrived.
    void EndFileBody() const {
        if (FToFile) {
            FFile.Resize(FWritten);
        }
    }

private:
    template <class TAction>
    void Guarded(TAction AAction) {
        if (FFailure) {
            return;
        }
        try {
            AAction();
        } catch (...) {
            FFailure = std::current_exception();
        }
    }

    TIdHTTPProgress& FClient;
    platform::TFile& FFile;
    std::exception_ptr FFailure;
    bool FBodyStarted = false;
    bool FToFile = false;
    std::int64_t FReceived = 0;    // bytes of the current body
    std::int64_t FUnreported = 0;  // bytes of the block in progress
    std::int64_t FWritten = 0;     // bytes in the file
};

TIdHTTPProgress::TIdHTTPProgress() = default;

TIdHTTPProgress::~TIdHTTPProgress() = default;

void TIdHTTPProgress::SetProgress(int AValue) {
    FProgress = AValue;
    if (FOnChange) {
        FOnChange(*this);
    }
}

TTransferOutcome TIdHTTPProgress::DownloadFile(std::string_view aFileUrl,
                                               const std::filesystem::path& aDestinationFile) {
    if (FTransferring) {
        throw std::logic_error("DownloadFile called during a transfer");
    }
    // From here on a Disconnect from a subscriber cancels this transfer.
    struct TTransferScope {
        TIdHTTPProgress& Client;
        explicit TTransferScope(TIdHTTPProgress& AClient) : Client(AClient) {
            Client.FTransferring = true;
            Client.FCancelRequested = false;
        }
        ~TTransferScope() { Client.FTransferring = false; }
    } scope(*this);

    SetProgress(0);
    FBytesToTransfer = 0;

    if (aDestinationFile.has_parent_path()) {
        std::error_code ignored;  // creating the file below reports what matters
        std::filesystem::create_directories(aDestinationFile.parent_path(), ignored);
    }
    try {
        platform::TFile file = platform::CreatePrivateFile(aDestinationFile);
        TTransfer transfer(*this, file);
        return FollowRedirects(std::string(aFileUrl), transfer);
    } catch (const std::system_error& error) {
        // The destination file failed: as much a failed download as a broken connection.
        throw EDownloadError(error.what());
    }
}

TTransferOutcome TIdHTTPProgress::FollowRedirects(std::string AUrl, TTransfer& ATransfer) {
    bool overTls = false;
    for (int redirectAnswers = 0;;) {
        if (FCancelRequested) {
            break;
        }
        const bool tls = TCurlIOHandler::SchemeOf(AUrl) == "https";
        if (overTls && !tls) {
            throw EDownloadError("refused to leave TLS for " + AUrl);
        }
        overTls = tls;

        ATransfer.StartAnswer();
        const THttpAnswer answer = IOHndl.Get(AUrl, ATransfer, FReadTimeout);
        // Also after a failed write: the file never keeps more than what arrived.
        ATransfer.EndFileBody();
        ATransfer.RethrowFailure();
        if (FCancelRequested) {
            break;
        }
        ATransfer.EndBlock();
        if (answer.StatusCode != 0 && !ATransfer.BodyStarted() && answer.Result == CURLE_OK) {
            // An answer without body bytes still has a body, of length 0.
            HandleWorkBegin(std::max<std::int64_t>(answer.ContentLength, 0));
        }
        if (ATransfer.BodyStarted() || answer.StatusCode != 0) {
            HandleWorkEnd();
        }
        if (FCancelRequested) {
            break;
        }

        if (answer.Result != CURLE_OK) {
            throw EDownloadError(answer.TimedOut ? "no data within the read time-out"
                                                 : answer.ErrorText);
        }
        if (IsSuccess(answer.StatusCode)) {
            return TTransferOutcome::Completed;
        }
        if (!IsRedirect(answer)) {
            throw EDownloadError(answer.StatusLine.empty() ? "no status line" : answer.StatusLine);
        }
        if (++redirectAnswers == kMaxRedirectAnswers) {
            throw EDownloadError("too many redirects");
        }
        AUrl = answer.RedirectUrl;
    }
    IOHndl.CloseConnection();
    return TTransferOutcome::Cancelled;
}

bool TIdHTTPProgress::Connected() const {
    return IOHndl.Connected();
}

void TIdHTTPProgress::Disconnect() {
    if (FTransferring) {
        // libcurl is on the stack below the subscriber: leave the handle alone, stop at the next
        // read and close there.
        FCancelRequested = true;
        return;
    }
    IOHndl.CloseConnection();
}

void TIdHTTPProgress::HandleWorkBegin(std::int64_t AWorkCountMax) {
    FBytesToTransfer = AWorkCountMax;
}

void TIdHTTPProgress::HandleWork(std::int64_t AWorkCount) {
    if (FBytesToTransfer != 0) {
        // Division first, in extended precision, halves to the even neighbour: 12.5 gives 12.
        const long double fraction =
            static_cast<long double>(AWorkCount) / static_cast<long double>(FBytesToTransfer);
        SetProgress(static_cast<int>(std::nearbyintl(fraction * 100.0L)));
    }
}

void TIdHTTPProgress::HandleWorkEnd() {
    FBytesToTransfer = 0;
    SetProgress(100);
}

}  // namespace korvane
