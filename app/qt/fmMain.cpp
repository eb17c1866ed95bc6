#include "fmMain.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <stdexcept>

#include "app/Application.h"
#include "ui_fmMain.h"

namespace korvane {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

TfrmMain::TfrmMain(TDownloadParts AParts)
    : ui(std::make_unique<Ui::TfrmMain>()), Timer(new QTimer(this)) {
    ui->setupUi(this);
    // A caption with a close box only, above every other window. Not a tool window: that would
    // lose the taskbar entry.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setWindowIcon(QIcon(u":/KorvaneDownloader.png"_s));

    Timer->setObjectName(u"Timer"_s);
    Timer->setSingleShot(true);
    Timer->setInterval(1000ms);
    // A coarse timer may fire up to 5 % early; the download waits a whole second.
    Timer->setTimerType(Qt::PreciseTimer);

    RunHandler([&] { FormCreate(std::move(AParts)); });

    connect(Timer, &QTimer::timeout, this, [this] { RunHandler([this] { TimerTimer(); }); });
    connect(ui->btnRetry, &QPushButton::clicked, this,
            [this] { RunHandler([this] { btnRetryClick(); }); });
    connect(ui->btnDownloadLink, &QPushButton::clicked, this,
            [this] { RunHandler([this] { btnDownloadLinkClick(); }); });
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::SetButtonCaptions(std::u16string_view ADownloadLink, std::u16string_view ARetry) {
    ui->btnDownloadLink->setText(QStringView(ADownloadLink).toString());
    ui->btnRetry->setText(QStringView(ARetry).toString());
}

void TfrmMain::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    // Spontaneous show events come from the window system (a restore), not from showing the window.
    if (AEvent->spontaneous()) {
        return;
    }
    // Both happen before the window is mapped, so it first appears titled and in place.
    RunHandler([this] { FormShow(); });
    if (!FCentred) {
        CentreOnPrimaryScreen();
        FCentred = true;
    }
}

void TfrmMain::CentreOnPrimaryScreen() {
    const QScreen* const Screen = QGuiApplication::primaryScreen();
    if (Screen == nullptr) {
        return;
    }
    const QRect WorkArea = Screen->availableGeometry();
    const QSize OuterSize = frameGeometry().size();
    move(WorkArea.left() + (WorkArea.width() - OuterSize.width()) / 2,
         WorkArea.top() + (WorkArea.height() - OuterSize.height()) / 2);
}

void TfrmMain::closeEvent(QCloseEvent* AEvent) {
    bool CanClose = true;
    if (!RunHandler([&] { FormCloseQuery(CanClose); })) {
        CanClose = false;
    }
    if (CanClose) {
        // A closed window starts no download, even while the event loop runs on for a moment.
        SetTimerArmed(false);
    }
    AEvent->setAccepted(CanClose);
}

void TfrmMain::SetTitle(std::u16string_view ATitle) {
    const QString Title = QStringView(ATitle).toString();
    setWindowTitle(Title);
    // The bar says what it shows: the download, while the title says so.
    ui->ProgressBar->setAccessibleName(Title);
}

void TfrmMain::SetStatusText(std::u16string_view AText) {
    ui->labMessage->Say(QStringView(AText).toString());
}

platform::TWindowHandle TfrmMain::NativeHandle() const {
    return platform::TWindowHandle{winId()};
}

void TfrmMain::SetProgressBarStyle(TProgressBarStyle AStyle) {
    ui->ProgressBar->SetStyle(AStyle);
}

void TfrmMain::SetProgressBarPosition(int APosition) {
    ui->ProgressBar->SetPosition(APosition);
}

int TfrmMain::ProgressBarPosition() const {
    return ui->ProgressBar->Position();
}

void TfrmMain::SetRetryButtonVisible(bool AVisible) {
    ui->btnRetry->setVisible(AVisible);
    if (AVisible) {
        ui->btnRetry->setFocus(Qt::OtherFocusReason);
    }
}

void TfrmMain::SetDownloadLinkButtonVisible(bool AVisible) {
    ui->btnDownloadLink->setVisible(AVisible);
}

void TfrmMain::SetTimerArmed(bool AArmed) {
    if (!AArmed) {
        Timer->stop();
    } else if (!Timer->isActive()) {
        Timer->start();
    }
}

void TfrmMain::CloseWindow() {
    close();
}

void TfrmMain::ProcessMessages() {
    QCoreApplication::processEvents();
}

}  // namespace korvane
