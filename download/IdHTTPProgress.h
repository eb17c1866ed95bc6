// The program's HTTP client: downloads one address into a file and turns the transfer into a
// percentage that it announces to one subscriber after every block.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "download/HttpTransport.h"

namespace korvane {

namespace platform {
class TFile;
}

// Any failure of a download: name resolution, connection, TLS, a wait for data that timed out, an
// HTTP status that is not a success, a body cut short, the destination file. The text is for
// developers only; the window never shows it.
class EDownloadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A transfer into memory that Disconnect stopped: the caller is on its way out, which a failure of
// the network does not say.
class ETransferCancelled : public EDownloadError {
public:
    using EDownloadError::EDownloadError;
};

// How a DownloadFile call that raised nothing ended.
enum class TTransferOutcome {
    Completed,  // the whole body of the final answer is in the file
    // The body had neither a length nor chunks and ended when the connection closed: nothing tells
    // whether all of it arrived.
    EndedByClose,
    Cancelled,  // Disconnect was called during the transfer; the file may hold part of the body
};

// What the subscriber hears of a transfer into memory.
enum class TMemoryNotice {
    None,
    // After every block, OnChange with the progress as it stands: the subscriber keeps the window
    // responsive, and the bar keeps what the download left on it.
    Unchanged,
};

class TIdHTTPProgress {
public:
    using TNotifyEvent = std::function<void(TIdHTTPProgress& Sender)>;

    static constexpr std::chrono::milliseconds kDefaultReadTimeout{30000};

    // Over `ATransport`, which carries every connection of this client.
    explicit TIdHTTPProgress(std::unique_ptr<IHttpTransport> ATransport);
    TIdHTTPProgress(const TIdHTTPProgress&) = delete;
    TIdHTTPProgress& operator=(const TIdHTTPProgress&) = delete;
    ~TIdHTTPProgress();

    // The last percentage written, 0 to 100. Every write notifies OnChange, even an unchanged
    // value.
    int Progress() const { return FProgress; }
    void SetProgress(int AValue);

    // The byte count announced by the body being read; 0 outside a body and for a body of unknown
    // length.
    std::int64_t BytesToTransfer() const { return FBytesToTransfer; }

    const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent AValue) { FOnChange = std::move(AValue); }

    // The longest wait for incoming data before the transfer fails.
    std::chrono::milliseconds ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(std::chrono::milliseconds AValue) { FReadTimeout = AValue; }

    // GETs `aFileUrl`, following redirects, and writes the body of the final answer into
    // `aDestinationFile`, creating its directory when missing. Raises EDownloadError on failure.
    [[nodiscard]] TTransferOutcome DownloadFile(std::string_view aFileUrl,
                                                const std::filesystem::path& aDestinationFile);
    // The same into a file the caller created and keeps.
    [[nodiscard]] TTransferOutcome DownloadFile(std::string_view aFileUrl,
                                                platform::TFile& aDestinationFile);

    // GETs `AUrl` as DownloadFile does, with the notifications `ANotice` asks for, and returns the
    // body of the final answer. Raises EDownloadError on failure, and for a body of more than
    // `AMaxSize` bytes; ETransferCancelled when Disconnect stopped it.
    std::string DownloadToMemory(std::string_view AUrl, std::size_t AMaxSize,
                                 TMemoryNotice ANotice = TMemoryNotice::None);

    // Closes the connection. Called while DownloadFile runs (from an OnChange subscriber), it
    // cancels that transfer: the transfer stops at its next read and DownloadFile returns
    // Cancelled.
    void Disconnect();

private:
    class IBodySink;
    class TFileSink;
    class TMemorySink;
    class TTransfer;

    // What a transfer tells the subscriber after each block.
    enum class TReport { Progress, Unchanged, Nothing };

    TTransferOutcome Transfer(std::string_view AUrl, IBodySink& ASink, TReport AReport);
    TTransferOutcome FollowRedirects(std::string AUrl, TTransfer& ATransfer);
    void HandleWorkBegin(std::int64_t AWorkCountMax);
    void HandleWork(std::int64_t AWorkCount);
    void HandleWorkEnd();

    int FProgress = 0;
    std::int64_t FBytesToTransfer = 0;
    TNotifyEvent FOnChange;
    std::chrono::milliseconds FReadTimeout = kDefaultReadTimeout;
    bool FTransferring = false;
    bool FCancelRequested = false;
    const std::unique_ptr<IHttpTransport> IOHndl;  // carries every connection, plain or TLS
};

}  // namespace korvane
