#include "download/MainWindow.h"

#include <stdexcept>

#include "download/DownloadRun.h"
#include "download/IdHTTPProgress.h"
#include "download/ProgressDisplay.h"
#include "texts/StatusTexts.h"

namespace korvane {

TMainWindow::TMainWindow() = default;
TMainWindow::~TMainWindow() = default;

TIdHTTPProgress& TMainWindow::HttpClient() {
    if (!FIdHTTPProgress) {
        throw std::logic_error("The window has no HTTP client");
    }
    return *FIdHTTPProgress;
}

TDownloadRun& TMainWindow::DownloadRun() {
    if (!FDownloadRun) {
        throw std::logic_error("The window has no download run");
    }
    return *FDownloadRun;
}

void TMainWindow::FormCreate(TDownloadParts AParts) {
    FIdHTTPProgress = std::make_unique<TIdHTTPProgress>(std::move(AParts.Transport));
    FIdHTTPProgress->SetOnChange([this](TIdHTTPProgress& Sender) { ProgressChanged(Sender); });
    SetButtonCaptions(LoadText(TStatusText::sBtnOtherLink), LoadText(TStatusText::sBtnRetry));
    FDownloadRun = std::make_unique<TDownloadRun>(
        *this, *FIdHTTPProgress, std::move(AParts.PublisherCheck), AParts.TlsLibraries);
}

void TMainWindow::FormShow() {
    SetTimerArmed(true);
    SetTitle(LoadText(TStatusText::sCaptionDownloading));
    SetStatusText(LoadText(TStatusText::sMsgDownloading));
}

void TMainWindow::TimerTimer() {
    DownloadRun().TimerTimer();
}

void TMainWindow::FormCloseQuery(bool& CanClose) {
    HttpClient().Disconnect();
    // Nothing holds the window open once the client has let go of its connection.
    CanClose = true;
}

void TMainWindow::btnDownloadLinkClick() {
    DownloadRun().btnDownloadLinkClick();
}

void TMainWindow::btnRetryClick() {
    DownloadRun().btnRetryClick();
}

void TMainWindow::ProgressChanged(const TIdHTTPProgress& Sender) {
    korvane::ProgressChanged(*this, Sender);
}

}  // namespace korvane
