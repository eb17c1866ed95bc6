#include "download/IdHTTPProgress.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "platform/Platform.h"

namespace korvane {

namespace {

// A redirect chain this long is taken for a loop.
constexpr int kMaxRedirectAnswers = 15;

// What one read brings at most, and so the bytes one progress event stands for at most.
constexpr auto kBlockSize = static_cast<std::int64_t>(kReceiveBufferSize);

bool IsSuccess(long AStatusCode) {
    return AStatusCode >= 200 && AStatusCode <= 299;
}

bool IsRedirect(const THttpAnswer& AAnswer) {
    return AAnswer.StatusCode >= 300 && AAnswer.StatusCode <= 399 && AAnswer.StatusCode != 304 &&
           !AAnswer.RedirectUrl.empty();
}

}  // namespace

// Where the body of a successful answer goes.
class TIdHTTPProgress::IBodySink {
public:
    virtual ~IBodySink() = default;
    // The body begins; `AContentLength` is -1 when the answer announced none.
    virtual void Begin(std::int64_t AContentLength) = 0;
    virtual void Write(std::span<const std::byte> ABytes) = 0;
    // The answer has ended, whether or not its body was whole.
    virtual void End() = 0;
};

// Writes the body into a file, sized up front to the announced length.
class TIdHTTPProgress::TFileSink final : public IBodySink {
public:
    explicit TFileSink(platform::TFile& AFile) : FFile(AFile) {}

    void Begin(std::int64_t AContentLength) override {
        // Reserve the announced size up front; End cuts the file back to what arrived.
        if (AContentLength > 0) {
            FFile.Resize(AContentLength);
        }
    }
    void Write(std::span<const std::byte> ABytes) override {
        FFile.Write(ABytes);
        FWritten += static_cast<std::int64_t>(ABytes.size());
    }
    // Also after a failed write: the file never keeps more than what arrived.
    void End() override { FFile.Resize(FWritten); }

private:
    platform::TFile& FFile;
    std::int64_t FWritten = 0;
};

// Keeps a small body in memory.
class TIdHTTPProgress::TMemorySink final : public IBodySink {
public:
    explicit TMemorySink(std::size_t AMaxSize) : FMaxSize(AMaxSize) {}

    void Begin(std::int64_t AContentLength) override {
        if (AContentLength > 0 && static_cast<std::uint64_t>(AContentLength) > FMaxSize) {
            throw EDownloadError("the answer announces more than " + std::to_string(FMaxSize) +
                                 " bytes");
        }
    }
    void Write(std::span<const std::byte> ABytes) override {
        if (ABytes.size() > FMaxSize - FBody.size()) {
            throw EDownloadError("the answer is longer than " + std::to_string(FMaxSize) +
                                 " bytes");
        }
        FBody.append(reinterpret_cast<const char*>(ABytes.data()), ABytes.size());
    }
    void End() override {}

    std::string TakeBody() { return std::move(FBody); }

private:
    const std::size_t FMaxSize;
    std::string FBody;
};

// Receives the answers of one transfer: the body of a success goes into the sink, every body
// moves the progress, or only notifies it as it stands, unless the transfer is a silent one.
// Failures are kept until the transport has returned, since they must not unwind through the
// library below it.
class TIdHTTPProgress::TTransfer final : public IHttpReceiver {
public:
    TTransfer(TIdHTTPProgress& AClient, IBodySink& ASink, TReport AReport)
        : FClient(AClient), FSink(ASink), FReport(AReport) {}

    void StartAnswer() {
        FBodyStarted = false;
        FToSink = false;
        FReceived = 0;
        FUnreported = 0;
    }

    bool BodyStarted() const { return FBodyStarted; }

    void BodyBegin(long AStatusCode, std::int64_t AContentLength) override {
        FBodyStarted = true;
        FToSink = IsSuccess(AStatusCode);
        Guarded([&] {
            if (FToSink) {
                FSink.Begin(AContentLength);
            }
            WorkBegin(AContentLength);
        });
    }

    // A library may hand a read over in several pieces; a block is what one read brought, up to
    // the size of the receive buffer, and gets one progress event.
    bool BodyPiece(std::string_view APiece) override {
        Guarded([&] {
            const auto size = static_cast<std::int64_t>(APiece.size());
            if (FUnreported + size > kBlockSize) {
                EndBlock();
            }
            if (FToSink) {
                FSink.Write(std::as_bytes(std::span(APiece)));
            }
            FReceived += size;
            FUnreported += size;
            if (FUnreported == kBlockSize) {
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
            if (FReport == TReport::Progress) {
                FClient.HandleWork(FReceived);
            } else if (FReport == TReport::Unchanged) {
                FClient.SetProgress(FClient.Progress());
            }
        }
    }

    // The start and the end of a body, for the progress.
    void WorkBegin(std::int64_t AContentLength) {
        if (FReport == TReport::Progress) {
            FClient.HandleWorkBegin(std::max<std::int64_t>(AContentLength, 0));
        }
    }
    void WorkEnd() {
        if (FReport == TReport::Progress) {
            FClient.HandleWorkEnd();
        }
    }

    bool Continuing() const { return !FFailure && !FClient.FCancelRequested; }

    // After an answer, and before its failure is raised.
    void EndAnswer() {
        if (FToSink) {
            FSink.End();
        }
        if (FFailure) {
            std::rethrow_exception(FFailure);
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
    IBodySink& FSink;
    const TReport FReport;
    std::exception_ptr FFailure;
    bool FBodyStarted = false;
    bool FToSink = false;
    std::int64_t FReceived = 0;    // bytes of the current body
    std::int64_t FUnreported = 0;  // bytes of the block in progress
};

TIdHTTPProgress::TIdHTTPProgress(std::unique_ptr<IHttpTransport> ATransport)
    : IOHndl(std::move(ATransport)) {}

TIdHTTPProgress::~TIdHTTPProgress() = default;

void TIdHTTPProgress::SetProgress(int AValue) {
    FProgress = AValue;
    if (FOnChange) {
        FOnChange(*this);
    }
}

TTransferOutcome TIdHTTPProgress::DownloadFile(std::string_view aFileUrl,
                                               const std::filesystem::path& aDestinationFile) {
    if (aDestinationFile.has_parent_path()) {
        std::error_code ignored;  // creating the file below reports what matters
        std::filesystem::create_directories(aDestinationFile.parent_path(), ignored);
    }
    try {
        platform::TFile file = platform::CreatePrivateFile(aDestinationFile);
        const TTransferOutcome outcome = DownloadFile(aFileUrl, file);
        file.Seal();  // what arrived stays
        return outcome;
    } catch (const std::system_error& error) {
        // The destination file failed: as much a failed download as a broken connection.
        throw EDownloadError(error.what());
    }
}

TTransferOutcome TIdHTTPProgress::DownloadFile(std::string_view aFileUrl,
                                               platform::TFile& aDestinationFile) {
    TFileSink sink(aDestinationFile);
    try {
        return Transfer(aFileUrl, sink, TReport::Progress);
    } catch (const std::system_error& error) {
        throw EDownloadError(error.what());
    }
}

std::string TIdHTTPProgress::DownloadToMemory(std::string_view AUrl, std::size_t AMaxSize,
                                              TMemoryNotice ANotice) {
    TMemorySink sink(AMaxSize);
    const TReport report =
        ANotice == TMemoryNotice::Unchanged ? TReport::Unchanged : TReport::Nothing;
    if (Transfer(AUrl, sink, report) == TTransferOutcome::Cancelled) {
        throw ETransferCancelled("cancelled");
    }
    return sink.TakeBody();
}

TTransferOutcome TIdHTTPProgress::Transfer(std::string_view AUrl, IBodySink& ASink,
                                           TReport AReport) {
    if (FTransferring) {
        throw std::logic_error("a transfer started during a transfer");
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

    if (AReport == TReport::Progress) {
        SetProgress(0);
    }
    FBytesToTransfer = 0;
    TTransfer transfer(*this, ASink, AReport);
    return FollowRedirects(std::string(AUrl), transfer);
}

TTransferOutcome TIdHTTPProgress::FollowRedirects(std::string AUrl, TTransfer& ATransfer) {
    bool overTls = false;
    for (int redirectAnswers = 0;;) {
        if (FCancelRequested) {
            break;
        }
        const bool tls = IOHndl->SchemeOf(AUrl) == "https";
        if (overTls && !tls) {
            throw EDownloadError("refused to leave TLS for " + AUrl);
        }
        overTls = tls;

        ATransfer.StartAnswer();
        const THttpAnswer answer = IOHndl->Get(AUrl, ATransfer, FReadTimeout);
        ATransfer.EndAnswer();
        if (FCancelRequested) {
            break;
        }
        ATransfer.EndBlock();
        if (answer.StatusCode != 0 && !ATransfer.BodyStarted() && !answer.Failed) {
            // An answer without body bytes still has a body, of length 0.
            ATransfer.WorkBegin(answer.ContentLength);
        }
        if (ATransfer.BodyStarted() || answer.StatusCode != 0) {
            ATransfer.WorkEnd();
        }
        if (FCancelRequested) {
            break;
        }

        if (!answer.ProtocolFailure.empty()) {
            throw EDownloadError(answer.ProtocolFailure);
        }
        if (answer.Failed) {
            throw EDownloadError(answer.TimedOut ? "no data within the read time-out"
                                                 : answer.ErrorText);
        }
        if (IsSuccess(answer.StatusCode)) {
            return answer.Framed ? TTransferOutcome::Completed : TTransferOutcome::EndedByClose;
        }
        if (!IsRedirect(answer)) {
            throw EDownloadError(answer.StatusLine.empty() ? "no status line" : answer.StatusLine);
        }
        if (++redirectAnswers == kMaxRedirectAnswers) {
            throw EDownloadError("too many redirects");
        }
        AUrl = answer.RedirectUrl;
    }
    IOHndl->CloseConnection();
    return TTransferOutcome::Cancelled;
}

void TIdHTTPProgress::Disconnect() {
    if (FTransferring) {
        // The transport is on the stack below the subscriber: leave it alone, stop at the next
        // read and close there.
        FCancelRequested = true;
        return;
    }
    IOHndl->CloseConnection();
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
