// The main window's handlers and what the window owns, whatever toolkit draws it: the HTTP client
// and the download run. Each toolkit's TfrmMain adds the controls, the view operations and the
// wiring of its events to these handlers.
#pragma once

#include <memory>

#include "download/DownloadParts.h"
#include "download/MainWindowView.h"

namespace korvane {

class TDownloadRun;
class TIdHTTPProgress;

class TMainWindow : public IMainWindowView {
public:
    TMainWindow();
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;
    ~TMainWindow() override;

    // The window's HTTP client.
    TIdHTTPProgress& HttpClient();

protected:
    // Creates the client and the run of `AParts`, and captions the buttons.
    void FormCreate(TDownloadParts AParts);
    void FormShow();
    void TimerTimer();
    void FormCloseQuery(bool& CanClose);
    void btnDownloadLinkClick();
    void btnRetryClick();
    void ProgressChanged(const TIdHTTPProgress& Sender);

    virtual void SetButtonCaptions(std::u16string_view ADownloadLink,
                                   std::u16string_view ARetry) = 0;

private:
    TDownloadRun& DownloadRun();

    std::unique_ptr<TIdHTTPProgress> FIdHTTPProgress;
    std::unique_ptr<TDownloadRun> FDownloadRun;  // refers to the client: destroyed before it
};

}  // namespace korvane
