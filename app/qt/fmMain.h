// The program's only window: a progress bar, a status line and, after a failure, two buttons. It
// owns the HTTP client and the download run, and offers the run the operations it drives the
// window with.
#pragma once

#include <QWidget>

#include <memory>
#include <string_view>

#include "Accessibility.h"
#include "download/DownloadParts.h"
#include "download/MainWindow.h"

class QTimer;

namespace Ui {
class TfrmMain;
}

namespace korvane {

class TfrmMain : public QWidget, public TMainWindow {
    Q_OBJECT

public:
    // Runs its downloads with `AParts`.
    explicit TfrmMain(TDownloadParts AParts);
    ~TfrmMain() override;

    void SetTitle(std::u16string_view ATitle) override;
    void SetStatusText(std::u16string_view AText) override;
    void SetProgressBarStyle(TProgressBarStyle AStyle) override;
    void SetProgressBarPosition(int APosition) override;
    int ProgressBarPosition() const override;
    void SetRetryButtonVisible(bool AVisible) override;
    void SetDownloadLinkButtonVisible(bool AVisible) override;
    void SetTimerArmed(bool AArmed) override;
    void CloseWindow() override;
    void ProcessMessages() override;
    platform::TWindowHandle NativeHandle() const override;

protected:
    void showEvent(QShowEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    void SetButtonCaptions(std::u16string_view ADownloadLink, std::u16string_view ARetry) override;

private:
    void CentreOnPrimaryScreen();

    // Before the widgets, whose accessible interfaces Qt may make as they are made.
    const TAccessibleInterfaces FAccessibleInterfaces;
    const std::unique_ptr<Ui::TfrmMain> ui;  // ProgressBar, labMessage, btnDownloadLink, btnRetry
    QTimer* const Timer;
    bool FCentred = false;
};

}  // namespace korvane
