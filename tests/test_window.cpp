// The main window: its state before and after it is shown, its frame, geometry and stacking, the
// progress bar and timer rules the download run relies on, closing it early, and the default
// failure handler.

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProperty>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <QTimerEvent>
#include <QWindow>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "app/Application.h"
#include "app/ProgramParts.h"
#include "app/qt/ProgressBar.h"
#include "app/qt/fmMain.h"
#include "download/IdHTTPProgress.h"
#include "support/TestSupport.h"

// Readable failure messages for Qt's strings.
void PrintTo(const QString& AText, std::ostream* AStream) {
    *AStream << '"' << AText.toStdString() << '"';
}

void PrintTo(const QStringList& AList, std::ostream* AStream) {
    *AStream << '[' << AList.join(u", ").toStdString() << ']';
}

namespace korvane {
namespace {

using namespace Qt::StringLiterals;

// Counts the starts of a timer from now on: every start, also one that restarts a running timer,
// begins a new period. QTimer tells each change of its active state, and a restart is a stop and
// a start.
class TTimerStarts {
public:
    explicit TTimerStarts(QTimer& ATimer)
        : FTimer(ATimer), FWatch(ATimer.bindableActive().addNotifier([this] {
              FStarts += FTimer.isActive() ? 1 : 0;
          })) {}
    int Count() const { return FStarts; }

private:
    const QTimer& FTimer;
    int FStarts = 0;
    const QPropertyNotifier FWatch;
};

// When a timer's periods end, seen before the timer itself hears of it.
class TTimerExpiries : public QObject {
public:
    explicit TTimerExpiries(QTimer& ATimer) { ATimer.installEventFilter(this); }
    int Count() const { return FCount; }
    std::chrono::steady_clock::time_point Last() const { return FLast; }

protected:
    bool eventFilter(QObject*, QEvent* AEvent) override {
        if (AEvent->type() == QEvent::Timer) {
            ++FCount;
            FLast = std::chrono::steady_clock::now();
        }
        return false;
    }

private:
    int FCount = 0;
    std::chrono::steady_clock::time_point FLast;
};

class TfrmMainTest : public ::testing::Test {
protected:
    template <class TChild>
    TChild& Child(const QString& AName) {
        TChild* const Found = frmMain.findChild<TChild*>(AName);
        if (Found == nullptr) {
            throw std::runtime_error("no child " + AName.toStdString());
        }
        return *Found;
    }
    TProgressBar& Bar() { return Child<TProgressBar>(u"ProgressBar"_s); }
    QLabel& labMessage() { return Child<QLabel>(u"labMessage"_s); }
    QPushButton& btnDownloadLink() { return Child<QPushButton>(u"btnDownloadLink"_s); }
    QPushButton& btnRetry() { return Child<QPushButton>(u"btnRetry"_s); }
    QTimer& Timer() { return Child<QTimer>(u"Timer"_s); }
    // What the download run sees of the window.
    IMainWindowView& View() { return frmMain; }

    // Where a run would write the TLS libraries and the download.
    const test::TTempDir FDataHome;
    const test::TTempDir FTemp;
    const test::TScopedEnvironment FDataHomeVariable{"XDG_DATA_HOME", FDataHome.Path().string()};
    const test::TScopedEnvironment FTempVariable{"TMPDIR", FTemp.Path().string()};
    TfrmMain frmMain{ProgramParts()};
};

TEST_F(TfrmMainTest, CreatedWindowIsBlankAndIdle) {
    EXPECT_FALSE(frmMain.isVisible());
    EXPECT_TRUE(frmMain.windowTitle().isEmpty());
    EXPECT_TRUE(labMessage().text().isEmpty());
    EXPECT_TRUE(btnRetry().isHidden());
    EXPECT_TRUE(btnDownloadLink().isHidden());
    EXPECT_FALSE(Timer().isActive());

    EXPECT_EQ(Bar().Style(), TProgressBarStyle::Marquee);
    EXPECT_EQ(View().ProgressBarPosition(), 0);
    // An empty range is what makes QProgressBar run its busy animation.
    EXPECT_EQ(Bar().minimum(), 0);
    EXPECT_EQ(Bar().maximum(), 0);
    EXPECT_FALSE(Bar().isTextVisible());

    EXPECT_EQ(btnDownloadLink().text(), u"Autre lien de téléchargement"_s);
    EXPECT_EQ(btnRetry().text(), u"Recommencer"_s);
}

TEST_F(TfrmMainTest, FirstAppearsTitledAndCentredOnThePrimaryScreen) {
    frmMain.winId();  // creates the native window, whose visibility is what the user sees
    std::optional<QString> TitleWhenVisible;
    std::optional<QString> StatusWhenVisible;
    std::optional<QRect> FrameWhenVisible;
    QObject::connect(frmMain.windowHandle(), &QWindow::visibleChanged, &frmMain,
                     [&](bool AVisible) {
                         if (AVisible && !TitleWhenVisible) {
                             TitleWhenVisible = frmMain.windowHandle()->title();
                             StatusWhenVisible = labMessage().text();
                             FrameWhenVisible = frmMain.frameGeometry();
                         }
                     });

    frmMain.show();

    ASSERT_TRUE(TitleWhenVisible.has_value());
    EXPECT_EQ(*TitleWhenVisible, u"Téléchargement de Korvane en cours... Veuillez patienter."_s);
    EXPECT_EQ(*StatusWhenVisible, u"Téléchargement de Korvane en cours"_s);

    const QRect WorkArea = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect Frame = *FrameWhenVisible;
    EXPECT_LE(std::abs((Frame.left() - WorkArea.left()) - (WorkArea.right() - Frame.right())), 1)
        << "frame " << Frame.x() << "," << Frame.y() << " " << Frame.width() << "x"
        << Frame.height();
    EXPECT_LE(std::abs((Frame.top() - WorkArea.top()) - (WorkArea.bottom() - Frame.bottom())), 1)
        << "frame " << Frame.x() << "," << Frame.y() << " " << Frame.width() << "x"
        << Frame.height();

    EXPECT_TRUE(Timer().isActive());
    EXPECT_TRUE(Timer().isSingleShot());
    EXPECT_EQ(Timer().interval(), 1000);
}

TEST_F(TfrmMainTest, IsAFixedSizeWindowAboveOthersWithACloseBoxOnly) {
    // A tool window would have no taskbar entry.
    EXPECT_EQ(frmMain.windowType(), Qt::Window);
    const Qt::WindowFlags Flags = frmMain.windowFlags();
    EXPECT_TRUE(Flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(Flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(Flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(Flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(Flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(Flags.testFlag(Qt::WindowMaximizeButtonHint));

    frmMain.show();
    EXPECT_EQ(frmMain.size(), QSize(694, 56));
    EXPECT_EQ(frmMain.minimumSize(), QSize(694, 56));
    EXPECT_EQ(frmMain.maximumSize(), QSize(694, 56));
    EXPECT_FALSE(frmMain.windowIcon().isNull());
}

TEST_F(TfrmMainTest, DrawsWhiteTextOnPureRed) {
    View().SetStatusText(u"Téléchargement de Korvane en cours");
    const QImage Image = frmMain.grab().toImage();

    // Between the bar and the status line, and in the status line's margins.
    EXPECT_EQ(Image.pixelColor(1, 29), QColor(Qt::red));
    EXPECT_EQ(Image.pixelColor(693, 55), QColor(Qt::red));

    bool HasWhite = false;
    const QRect Line = labMessage().geometry();
    for (int Y = Line.top(); Y <= Line.bottom() && !HasWhite; ++Y) {
        for (int X = Line.left(); X <= Line.right() && !HasWhite; ++X) {
            HasWhite = Image.pixelColor(X, Y) == QColor(Qt::white);
        }
    }
    EXPECT_TRUE(HasWhite);

    EXPECT_EQ(frmMain.font().pointSize(), 12);
    EXPECT_EQ(labMessage().font().pointSize(), 9);
    EXPECT_EQ(btnDownloadLink().font().pointSize(), 9);
    EXPECT_EQ(btnRetry().font().pointSize(), 12);
}

TEST_F(TfrmMainTest, ButtonsLieInFrontOfTheBarAndTheStatusLine) {
    frmMain.show();
    // The status line fills what the bar leaves, inset by 3, 5, 5 and 3 pixels.
    const QRect Line = labMessage().geometry();
    EXPECT_EQ(Line.left(), 3);
    EXPECT_EQ(Line.top(), Bar().geometry().bottom() + 1 + 5);
    EXPECT_EQ(Line.right(), frmMain.width() - 1 - 5);
    EXPECT_EQ(Line.bottom(), frmMain.height() - 1 - 3);

    EXPECT_EQ(frmMain.childAt(10, 10), &Bar());
    EXPECT_EQ(frmMain.childAt(600, 40), &labMessage());

    View().SetRetryButtonVisible(true);
    View().SetDownloadLinkButtonVisible(true);
    // Stacking must survive a round trip through both styles.
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);

    EXPECT_EQ(frmMain.childAt(0, 0), &btnRetry());
    EXPECT_EQ(frmMain.childAt(693, 24), &btnRetry());
    EXPECT_EQ(frmMain.childAt(10, 25), &Bar());
    EXPECT_EQ(frmMain.childAt(693, 26), &Bar());

    EXPECT_EQ(frmMain.childAt(485, 32), &btnDownloadLink());
    EXPECT_EQ(frmMain.childAt(685, 52), &btnDownloadLink());
    EXPECT_EQ(frmMain.childAt(484, 40), &labMessage());
    EXPECT_EQ(frmMain.childAt(688, 40), &labMessage());
}

TEST_F(TfrmMainTest, TabOrderIsBarThenLinkThenRetry) {
    QStringList Order;
    for (QWidget* Widget = frmMain.nextInFocusChain(); Widget != &frmMain;
         Widget = Widget->nextInFocusChain()) {
        if (Widget == &Bar() || Widget == &btnDownloadLink() || Widget == &btnRetry()) {
            Order << Widget->objectName();
        }
    }
    EXPECT_EQ(Order, QStringList({u"ProgressBar"_s, u"btnDownloadLink"_s, u"btnRetry"_s}));
}

TEST_F(TfrmMainTest, ProgressBarKeepsPositionsWithinZeroToHundred) {
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    View().SetProgressBarPosition(150);
    EXPECT_EQ(View().ProgressBarPosition(), 100);
    EXPECT_EQ(Bar().value(), 100);
    View().SetProgressBarPosition(-7);
    EXPECT_EQ(View().ProgressBarPosition(), 0);
    EXPECT_EQ(Bar().value(), 0);
}

TEST_F(TfrmMainTest, ProgressBarReturnsFromMarqueeToTheRecordedPosition) {
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    View().SetProgressBarPosition(50);
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    EXPECT_EQ(Bar().maximum(), 0);
    View().SetProgressBarPosition(0);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);

    EXPECT_EQ(View().ProgressBarPosition(), 50);
    EXPECT_EQ(Bar().maximum(), 100);
    EXPECT_EQ(Bar().value(), 50);
}

TEST_F(TfrmMainTest, ProgressBarLeavesMarqueeAtZeroWhenItNeverLeftIt) {
    View().SetProgressBarPosition(40);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_EQ(View().ProgressBarPosition(), 0);
}

TEST_F(TfrmMainTest, ProgressBarIgnoresTheStyleItAlreadyHas) {
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    View().SetProgressBarPosition(70);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_EQ(View().ProgressBarPosition(), 70);

    // A second marquee must not record the position set while in marquee.
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    View().SetProgressBarPosition(20);
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_EQ(View().ProgressBarPosition(), 70);
}

// The bar repaints only the stretch its fill's end moved over: after every move the screen shows
// what a repaint of the whole bar shows.
TEST_F(TfrmMainTest, ProgressBarShowsAfterEachMoveWhatAWholeRepaintShows) {
    frmMain.show();
    Timer().stop();  // no download here
    ASSERT_TRUE(test::WaitUntil(
        [&] { return frmMain.windowHandle() != nullptr && frmMain.windowHandle()->isExposed(); },
        std::chrono::seconds(10)));
    const auto shown = [&] {
        const QPoint origin = Bar().mapTo(&frmMain, QPoint(0, 0));
        return frmMain.screen()
            ->grabWindow(frmMain.winId(), origin.x(), origin.y(), Bar().width(), Bar().height())
            .toImage();
    };
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    for (const int position :
         {1, 2, 3, 9, 10, 11, 33, 34, 50, 51, 88, 99, 100, 64, 63, 1, 0, 100, 0}) {
        View().SetProgressBarPosition(position);
        const QImage moved = shown();
        Bar().repaint();
        EXPECT_TRUE(moved == shown()) << "at " << position;
    }
}

TEST_F(TfrmMainTest, ArmingAnArmedTimerKeepsItsPeriod) {
    View().SetTimerArmed(true);
    const TTimerStarts starts(Timer());
    View().SetTimerArmed(true);
    EXPECT_TRUE(Timer().isActive());
    EXPECT_EQ(starts.Count(), 0) << "the running period was started over";
}

TEST_F(TfrmMainTest, DisarmingTwiceIsHarmlessAndRearmingStartsAFreshPeriod) {
    View().SetTimerArmed(true);
    const TTimerStarts starts(Timer());
    View().SetTimerArmed(false);
    View().SetTimerArmed(false);
    EXPECT_FALSE(Timer().isActive());
    EXPECT_EQ(starts.Count(), 0);

    View().SetTimerArmed(true);
    EXPECT_TRUE(Timer().isActive());
    EXPECT_EQ(starts.Count(), 1);
}

// Each run here fails at once: nothing serves the test programs' download address.
TEST_F(TfrmMainTest, EachRunStartsAWholeSecondAfterTheTimerIsArmed) {
    using std::chrono::steady_clock;
    using namespace std::chrono_literals;
    const TTimerExpiries Expiries(Timer());
    for (int Run = 0; Run < 5; ++Run) {
        // Measured from before the arming: a timer that fires early is caught, one on time never.
        const steady_clock::time_point Armed = steady_clock::now();
        Run == 0 ? frmMain.show() : btnRetry().click();
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                QCoreApplication::processEvents();
                return btnRetry().isVisible();
            },
            20s));
        EXPECT_EQ(Expiries.Count(), Run + 1);
        EXPECT_GE(Expiries.Last() - Armed, 1000ms) << "run " << Run;
    }
}

TEST_F(TfrmMainTest, TheFailedStateFocusesRetryAndTheKeysMoveBetweenAndPressTheButtons) {
    using namespace std::chrono_literals;
    const auto Press = [&](Qt::Key AKey) {
        QWidget* const Focus = frmMain.focusWidget();
        ASSERT_NE(Focus, nullptr);
        QKeyEvent Down(QEvent::KeyPress, AKey, Qt::NoModifier);
        QKeyEvent Up(QEvent::KeyRelease, AKey, Qt::NoModifier);
        QCoreApplication::sendEvent(Focus, &Down);
        QCoreApplication::sendEvent(Focus, &Up);
    };
    const auto Failed = [&] {
        return test::WaitUntil(
            [&] {
                QCoreApplication::processEvents();
                return btnRetry().isVisible();
            },
            20s);
    };
    frmMain.show();
    ASSERT_TRUE(Failed());
    EXPECT_EQ(frmMain.focusWidget(), &btnRetry());

    // Tab goes round the two buttons: the bar takes no focus.
    Press(Qt::Key_Tab);
    EXPECT_EQ(frmMain.focusWidget(), &btnDownloadLink());
    Press(Qt::Key_Tab);
    EXPECT_EQ(frmMain.focusWidget(), &btnRetry());

    // Enter presses it, though the window is no dialog: a new run, which fails again; then Space.
    for (const Qt::Key Key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        Press(Key);
        EXPECT_EQ(frmMain.windowTitle(),
                  u"Téléchargement de Korvane en cours... Veuillez patienter."_s)
            << Key;
        EXPECT_TRUE(btnRetry().isHidden());
        ASSERT_TRUE(Failed());
        EXPECT_EQ(frmMain.focusWidget(), &btnRetry());
    }
}

TEST_F(TfrmMainTest, ClosingBeforeTheTimerFiresStartsNoDownload) {
    int Notifications = 0;
    frmMain.HttpClient().SetOnChange([&](TIdHTTPProgress&) { ++Notifications; });
    frmMain.show();
    ASSERT_TRUE(Timer().isActive());
    const int ArmedTimerId = Timer().timerId();

    EXPECT_TRUE(frmMain.close());
    EXPECT_FALSE(frmMain.isVisible());

    // What the event loop still had to do, then the end of the period that was running: a timer
    // that closing left armed would start the download now.
    QCoreApplication::processEvents();
    EXPECT_FALSE(Timer().isActive());
    QTimerEvent PeriodEnd(ArmedTimerId);
    QCoreApplication::sendEvent(&Timer(), &PeriodEnd);
    QCoreApplication::processEvents();
    EXPECT_EQ(Notifications, 0);
    EXPECT_EQ(frmMain.HttpClient().Progress(), 0);
    // A run would have made its download directory, and written the TLS libraries, first.
    EXPECT_TRUE(std::filesystem::is_empty(FDataHome.Path()));
    EXPECT_TRUE(std::filesystem::is_empty(FTemp.Path()));
    EXPECT_TRUE(btnRetry().isHidden());
}

TEST(ApplicationTitle, IsTheNameUpToItsFirstFullStopWithTheRestInLowerCase) {
    EXPECT_EQ(ApplicationTitle(u"KorvaneDownloader"), u"Korvanedownloader");
    EXPECT_EQ(ApplicationTitle(u"KorvaneDownloader.exe"), u"Korvanedownloader");
    EXPECT_EQ(ApplicationTitle(u"Setup.V2.exe"), u"Setup");
    EXPECT_EQ(ApplicationTitle(u"kORVANE"), u"korvane");
    EXPECT_EQ(ApplicationTitle(u"ÉTÉ"), u"Été");
    EXPECT_EQ(ApplicationTitle(u".hidden"), u"");
    EXPECT_EQ(ApplicationTitle(u""), u"");
}

TEST(FailureText, EndsInAFullStopUnlessTheLastCharacterSortsBeforeOne) {
    EXPECT_EQ(FailureText(u"Access denied"), u"Access denied.");
    EXPECT_EQ(FailureText(u"Accès refusé"), u"Accès refusé.");
    EXPECT_EQ(FailureText(u"Done."), u"Done.");
    EXPECT_EQ(FailureText(u"Really?"), u"Really?.");
    EXPECT_EQ(FailureText(u"/tmp/"), u"/tmp/.");
    EXPECT_EQ(FailureText(u"Stop!"), u"Stop!");
    EXPECT_EQ(FailureText(u"(code 5)"), u"(code 5)");
    EXPECT_EQ(FailureText(u"1,2,-"), u"1,2,-");
    EXPECT_EQ(FailureText(u"trailing "), u"trailing ");
    EXPECT_EQ(FailureText(u""), u"");
}

TEST(RunHandler, ShowsAnEscapingFailureAndCarriesOn) {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QTimer Dismisser;
    Dismisser.setInterval(10);
    QObject::connect(&Dismisser, &QTimer::timeout, [&] {
        if (auto* const Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            Title = Box->windowTitle();
            Text = Box->text();
            Icon = Box->icon();
            Box->done(QMessageBox::Ok);
        }
    });
    Dismisser.start();

    const bool Completed = RunHandler([] { throw std::runtime_error("Accès refusé"); });

    EXPECT_FALSE(Completed);
    EXPECT_EQ(Icon, QMessageBox::Critical);
    // The test program's name, which starts in lower case and keeps it.
    EXPECT_EQ(Title, u"test_window"_s);
    EXPECT_EQ(Text, u"Accès refusé."_s);
}

}  // namespace
}  // namespace korvane
