// The Win32 main window under Wine: its state before and after it is shown, its frame, geometry,
// fonts, colours, stacking and tab order, the progress bar and timer rules the download run relies
// on, closing it, the common controls it runs with, and the title of the failure box.
// windows.h first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwctype>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "app/Application.h"
#include "app/ProgramParts.h"
#include "app/win32/fmMain.h"
#include "support/Files.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::u16string kCaptionDownloading =
    u"Téléchargement de Korvane en cours... Veuillez patienter.";
const std::u16string kMsgDownloading = u"Téléchargement de Korvane en cours";

std::u16string TextOf(HWND AWindow) {
    wchar_t Text[512] = {};
    GetWindowTextW(AWindow, Text, 512);
    return std::u16string(reinterpret_cast<const char16_t*>(Text));
}

bool HasStyle(HWND AWindow, LONG_PTR AStyle) {
    return (GetWindowLongPtrW(AWindow, GWL_STYLE) & AStyle) == AStyle;
}

bool HasExStyle(HWND AWindow, LONG_PTR AStyle) {
    return (GetWindowLongPtrW(AWindow, GWL_EXSTYLE) & AStyle) == AStyle;
}

// Shown as far as the window itself goes, whether or not its parent is.
bool Shown(HWND AControl) {
    return HasStyle(AControl, WS_VISIBLE);
}

// `AControl`'s rectangle in its parent's client coordinates.
RECT ClientRectOf(HWND AControl) {
    RECT Rect{};
    GetWindowRect(AControl, &Rect);
    MapWindowPoints(nullptr, GetParent(AControl), reinterpret_cast<POINT*>(&Rect), 2);
    return Rect;
}

::testing::AssertionResult RectIs(const RECT& AActual, LONG ALeft, LONG ATop, LONG AWidth,
                                  LONG AHeight) {
    if (AActual.left == ALeft && AActual.top == ATop && AActual.right - AActual.left == AWidth &&
        AActual.bottom - AActual.top == AHeight) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "left " << AActual.left << ", top " << AActual.top << ", width "
           << AActual.right - AActual.left << ", height " << AActual.bottom - AActual.top;
}

LOGFONTW FontOf(HWND AWindow) {
    LOGFONTW Font{};
    const auto Handle = reinterpret_cast<HFONT>(SendMessageW(AWindow, WM_GETFONT, 0, 0));
    if (Handle == nullptr || GetObjectW(Handle, sizeof Font, &Font) == 0) {
        ADD_FAILURE() << "no font";
    }
    return Font;
}

// The character height of the font as the system realised it: cell height less internal leading.
int RealisedCharacterHeight(HWND AWindow) {
    const HDC DeviceContext = GetDC(AWindow);
    const HGDIOBJ Previous = SelectObject(
        DeviceContext, reinterpret_cast<HFONT>(SendMessageW(AWindow, WM_GETFONT, 0, 0)));
    TEXTMETRICW Metrics{};
    GetTextMetricsW(DeviceContext, &Metrics);
    SelectObject(DeviceContext, Previous);
    ReleaseDC(AWindow, DeviceContext);
    return Metrics.tmHeight - Metrics.tmInternalLeading;
}

// Watches the messages a window gets, before its own procedure does.
class TMessageWatch {
public:
    using TWatcher = std::function<void(UINT AMessage, WPARAM AWParam, LPARAM ALParam)>;

    TMessageWatch(HWND AWindow, TWatcher AWatcher)
        : FWindow(AWindow), FWatcher(std::move(AWatcher)) {
        if (!SetWindowSubclass(FWindow, &Watch, 1, reinterpret_cast<DWORD_PTR>(this))) {
            throw std::runtime_error("cannot watch the window");
        }
    }
    TMessageWatch(const TMessageWatch&) = delete;
    TMessageWatch& operator=(const TMessageWatch&) = delete;
    ~TMessageWatch() { RemoveWindowSubclass(FWindow, &Watch, 1); }

private:
    static LRESULT CALLBACK Watch(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam,
                                  UINT_PTR, DWORD_PTR AThis) {
        reinterpret_cast<TMessageWatch*>(AThis)->FWatcher(AMessage, AWParam, ALParam);
        return DefSubclassProc(AWindow, AMessage, AWParam, ALParam);
    }

    HWND FWindow;
    TWatcher FWatcher;
};

// Points the user's temporary directory (TMP, TEMP) at a folder that does not exist, inside one
// of the test's own that goes with everything in it: a download run started from the window then
// fails before it connects anywhere, and writes nothing.
class TMissingTempDirectory {
public:
    TMissingTempDirectory() {
        for (const wchar_t* const Variable : {L"TMP", L"TEMP"}) {
            wchar_t Value[MAX_PATH + 1] = {};
            const DWORD Length = GetEnvironmentVariableW(Variable, Value, MAX_PATH + 1);
            FSaved.push_back(Length > 0 ? std::optional<std::wstring>(Value) : std::nullopt);
            SetEnvironmentVariableW(Variable, (FRoot.Path() / L"missing\\").c_str());
        }
    }
    TMissingTempDirectory(const TMissingTempDirectory&) = delete;
    TMissingTempDirectory& operator=(const TMissingTempDirectory&) = delete;
    ~TMissingTempDirectory() {
        const wchar_t* const Variables[] = {L"TMP", L"TEMP"};
        for (std::size_t Index = 0; Index < FSaved.size(); ++Index) {
            SetEnvironmentVariableW(Variables[Index],
                                    FSaved[Index] ? FSaved[Index]->c_str() : nullptr);
        }
    }
    const fs::path& Root() const { return FRoot.Path(); }

private:
    const test::TTempDir FRoot;
    std::vector<std::optional<std::wstring>> FSaved;
};

class TfrmMainTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX Controls{};
        Controls.dwSize = sizeof Controls;
        Controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
        InitCommonControlsEx(&Controls);
    }

    void TearDown() override {
        // No quit message may outlive its test and end another one's loop.
        MSG Message;
        while (PeekMessageW(&Message, nullptr, 0, 0, PM_REMOVE)) {
            if (Message.message != WM_QUIT) {
                DispatchMessageW(&Message);
            }
        }
    }

    HWND Window() const { return frmMain.Handle(); }
    HWND Control(std::u16string_view AName) const {
        const HWND Found = frmMain.FindControl(AName);
        if (Found == nullptr) {
            throw std::runtime_error("no control of that name");
        }
        return Found;
    }
    HWND Bar() const { return Control(u"ProgressBar"); }
    HWND labMessage() const { return Control(u"labMessage"); }
    HWND btnDownloadLink() const { return Control(u"btnDownloadLink"); }
    HWND btnRetry() const { return Control(u"btnRetry"); }
    // What the download run sees of the window.
    IMainWindowView& View() { return frmMain; }

    // Handles messages until `ADone` holds or `ATimeout` has passed; true when it held.
    bool PumpUntil(const std::function<bool()>& ADone, std::chrono::milliseconds ATimeout = 10s) {
        const auto Deadline = std::chrono::steady_clock::now() + ATimeout;
        while (!ADone()) {
            if (std::chrono::steady_clock::now() >= Deadline) {
                return false;
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            View().ProcessMessages();
        }
        return true;
    }
    void PumpFor(std::chrono::milliseconds ADuration) {
        PumpUntil([] { return false; }, ADuration);
    }

    // The child at `APoint` of the client area, the front one where several overlap.
    HWND ChildAt(LONG AX, LONG AY) const {
        return ChildWindowFromPointEx(Window(), POINT{AX, AY}, CWP_SKIPINVISIBLE);
    }

    bool ShowsFailure() const { return Shown(btnRetry()) && Shown(btnDownloadLink()); }

    TMissingTempDirectory FTemp;
    TfrmMain frmMain{ProgramParts()};
};

TEST_F(TfrmMainTest, CreatedWindowIsBlankAndIdle) {
    EXPECT_FALSE(IsWindowVisible(Window()));
    EXPECT_TRUE(TextOf(Window()).empty());
    EXPECT_TRUE(TextOf(labMessage()).empty());
    EXPECT_FALSE(Shown(btnRetry()));
    EXPECT_FALSE(Shown(btnDownloadLink()));
    EXPECT_TRUE(Shown(Bar()));
    EXPECT_TRUE(Shown(labMessage()));
    EXPECT_FALSE(frmMain.TimerArmed());
    EXPECT_FALSE(frmMain.Terminating());

    EXPECT_TRUE(HasStyle(Bar(), PBS_MARQUEE));
    EXPECT_EQ(View().ProgressBarPosition(), 0);
    PBRANGE Range{};
    SendMessageW(Bar(), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&Range));
    EXPECT_EQ(Range.iLow, 0);
    EXPECT_EQ(Range.iHigh, 100);

    // Set again from the texts by FormCreate.
    EXPECT_EQ(TextOf(btnDownloadLink()), u"Autre lien de téléchargement");
    EXPECT_EQ(TextOf(btnRetry()), u"Recommencer");
    EXPECT_EQ(View().NativeHandle(),
              platform::TWindowHandle{reinterpret_cast<std::uintptr_t>(Window())});
}

TEST_F(TfrmMainTest, FirstAppearsTitledAndCentredOnTheWorkArea) {
    std::optional<std::u16string> TitleWhenVisible;
    std::optional<std::u16string> StatusWhenVisible;
    RECT FrameWhenVisible{};
    int Appearances = 0;
    const TMessageWatch Watch(Window(), [&](UINT AMessage, WPARAM, LPARAM ALParam) {
        if (AMessage == WM_WINDOWPOSCHANGED &&
            (reinterpret_cast<const WINDOWPOS*>(ALParam)->flags & SWP_SHOWWINDOW) != 0) {
            ++Appearances;
            if (!TitleWhenVisible) {
                TitleWhenVisible = TextOf(Window());
                StatusWhenVisible = TextOf(labMessage());
                GetWindowRect(Window(), &FrameWhenVisible);
            }
        }
    });

    frmMain.Show();

    ASSERT_TRUE(TitleWhenVisible.has_value());
    EXPECT_EQ(*TitleWhenVisible, kCaptionDownloading);
    EXPECT_EQ(*StatusWhenVisible, kMsgDownloading);
    EXPECT_TRUE(frmMain.TimerArmed());

    MONITORINFO Monitor{};
    Monitor.cbSize = sizeof Monitor;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &Monitor));
    const RECT& Work = Monitor.rcWork;
    const RECT& Frame = FrameWhenVisible;
    EXPECT_LE(std::abs((Frame.left - Work.left) - (Work.right - Frame.right)), 1)
        << "frame " << Frame.left << "," << Frame.top << "-" << Frame.right << "," << Frame.bottom;
    EXPECT_LE(std::abs((Frame.top - Work.top) - (Work.bottom - Frame.bottom)), 1)
        << "frame " << Frame.left << "," << Frame.top << "-" << Frame.right << "," << Frame.bottom;

    // Centred once: a window moved and shown again stays where it was put.
    SetWindowPos(Window(), nullptr, Work.left, Work.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(Window(), SW_HIDE);
    frmMain.Show();
    EXPECT_EQ(Appearances, 2);
    RECT Again{};
    GetWindowRect(Window(), &Again);
    EXPECT_EQ(Again.left, Work.left);
    EXPECT_EQ(Again.top, Work.top);
}

TEST_F(TfrmMainTest, IsAToolWindowOnTopWithItsOwnTaskbarButtonAndACloseBoxOnly) {
    EXPECT_TRUE(HasExStyle(Window(), WS_EX_TOOLWINDOW));
    EXPECT_TRUE(HasExStyle(Window(), WS_EX_APPWINDOW));
    EXPECT_TRUE(HasExStyle(Window(), WS_EX_TOPMOST));
    EXPECT_TRUE(HasStyle(Window(), WS_CAPTION));
    EXPECT_TRUE(HasStyle(Window(), WS_SYSMENU));
    EXPECT_FALSE(HasStyle(Window(), WS_MINIMIZEBOX));
    EXPECT_FALSE(HasStyle(Window(), WS_MAXIMIZEBOX));
    EXPECT_FALSE(HasStyle(Window(), WS_THICKFRAME));
    EXPECT_FALSE(HasStyle(Window(), WS_CHILD));
    EXPECT_EQ(GetWindow(Window(), GW_OWNER), nullptr);
    EXPECT_NE(GetClassLongPtrW(Window(), GCLP_HICONSM), 0u);

    frmMain.Show();
    RECT Client{};
    GetClientRect(Window(), &Client);
    EXPECT_TRUE(RectIs(Client, 0, 0, 694, 56));
    // The frame cannot be dragged to another size.
    POINT BottomRight{Client.right - 1, Client.bottom - 1};
    ClientToScreen(Window(), &BottomRight);
    const LRESULT Hit =
        SendMessageW(Window(), WM_NCHITTEST, 0, MAKELPARAM(BottomRight.x + 2, BottomRight.y + 2));
    EXPECT_NE(Hit, HTBOTTOMRIGHT);
    EXPECT_NE(Hit, HTBOTTOM);
    EXPECT_NE(Hit, HTRIGHT);
}

TEST_F(TfrmMainTest, ControlsTakeTheTemplateGeometry) {
    frmMain.Show();
    EXPECT_TRUE(RectIs(ClientRectOf(Bar()), 0, 0, 694, 27));
    // What the bar leaves, inset by 3, 5, 5 and 3.
    EXPECT_TRUE(RectIs(ClientRectOf(labMessage()), 3, 32, 686, 21));
    EXPECT_TRUE(RectIs(ClientRectOf(btnDownloadLink()), 485, 29, 201, 25));
    EXPECT_TRUE(RectIs(ClientRectOf(btnRetry()), 0, 0, 694, 25));
}

TEST_F(TfrmMainTest, FontsAreVerdanaByCharacterHeightInPixels) {
    const LOGFONTW WindowFont = FontOf(Window());
    EXPECT_STREQ(WindowFont.lfFaceName, L"Verdana");
    EXPECT_EQ(WindowFont.lfHeight, -16);
    EXPECT_EQ(WindowFont.lfCharSet, DEFAULT_CHARSET);
    // Whatever face stands in for Verdana, it comes at the asked character height (Wine rounds
    // its stand-in's metrics to a pixel either way).
    EXPECT_NEAR(RealisedCharacterHeight(Window()), 16, 1);

    for (const HWND Small : {labMessage(), btnDownloadLink()}) {
        const LOGFONTW Font = FontOf(Small);
        EXPECT_STREQ(Font.lfFaceName, L"Verdana");
        EXPECT_EQ(Font.lfHeight, -12);
        EXPECT_NEAR(RealisedCharacterHeight(Small), 12, 1);
    }
    // btnRetry has the window's own font.
    EXPECT_EQ(SendMessageW(btnRetry(), WM_GETFONT, 0, 0), SendMessageW(Window(), WM_GETFONT, 0, 0));
}

// Windows sends WM_DPICHANGED when the window moves to a monitor of another scale, or its
// monitor's scale changes; Wine 8 never does, so the test sends it as Windows would.
TEST_F(TfrmMainTest, TakesTheSizesOfANewDpiAndThePlaceWindowsSuggests) {
    frmMain.Show();
    const auto ChangeDpi = [&](UINT ADpi, const RECT& AClientOnScreen) {
        RECT Suggested = AClientOnScreen;
        AdjustWindowRectExForDpi(
            &Suggested, static_cast<DWORD>(GetWindowLongPtrW(Window(), GWL_STYLE)), FALSE,
            static_cast<DWORD>(GetWindowLongPtrW(Window(), GWL_EXSTYLE)), ADpi);
        SendMessageW(Window(), WM_DPICHANGED, MAKEWPARAM(ADpi, ADpi),
                     reinterpret_cast<LPARAM>(&Suggested));
        RECT Outer{};
        GetWindowRect(Window(), &Outer);
        EXPECT_EQ(Outer.left, Suggested.left);
        EXPECT_EQ(Outer.top, Suggested.top);
    };

    // 150 %: each size is the one at 96 DPI times 1.5, halves rounded up.
    ChangeDpi(144, RECT{200, 150, 200 + 1041, 150 + 84});
    RECT Client{};
    GetClientRect(Window(), &Client);
    EXPECT_TRUE(RectIs(Client, 0, 0, 1041, 84));
    EXPECT_TRUE(RectIs(ClientRectOf(Bar()), 0, 0, 1041, 41));
    EXPECT_TRUE(RectIs(ClientRectOf(labMessage()), 5, 48, 1029, 32));
    EXPECT_TRUE(RectIs(ClientRectOf(btnDownloadLink()), 728, 44, 302, 38));
    EXPECT_TRUE(RectIs(ClientRectOf(btnRetry()), 0, 0, 1041, 38));
    EXPECT_EQ(FontOf(Window()).lfHeight, -24);
    EXPECT_EQ(FontOf(btnRetry()).lfHeight, -24);
    EXPECT_EQ(FontOf(labMessage()).lfHeight, -18);
    EXPECT_EQ(FontOf(btnDownloadLink()).lfHeight, -18);
    EXPECT_NEAR(RealisedCharacterHeight(labMessage()), 18, 1);

    // Back at 100 %, the sizes of 96 DPI, pixel for pixel.
    ChangeDpi(96, RECT{10, 20, 10 + 694, 20 + 56});
    GetClientRect(Window(), &Client);
    EXPECT_TRUE(RectIs(Client, 0, 0, 694, 56));
    EXPECT_TRUE(RectIs(ClientRectOf(Bar()), 0, 0, 694, 27));
    EXPECT_TRUE(RectIs(ClientRectOf(labMessage()), 3, 32, 686, 21));
    EXPECT_TRUE(RectIs(ClientRectOf(btnDownloadLink()), 485, 29, 201, 25));
    EXPECT_TRUE(RectIs(ClientRectOf(btnRetry()), 0, 0, 694, 25));
    EXPECT_EQ(FontOf(Window()).lfHeight, -16);
    EXPECT_EQ(FontOf(labMessage()).lfHeight, -12);
}

TEST_F(TfrmMainTest, DrawsWhiteTextOnPureRed) {
    frmMain.Show();
    View().SetStatusText(u"Téléchargement de Korvane en cours");
    RedrawWindow(Window(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    PumpFor(200ms);

    const HDC Screen = GetDC(Window());
    // Between the bar and the status line, and in the status line's margins.
    EXPECT_EQ(GetPixel(Screen, 1, 29), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(Screen, 693, 55), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(Screen, 1, 40), RGB(255, 0, 0));

    // The status line: white text on the same red.
    const RECT Line = ClientRectOf(labMessage());
    int White = 0;
    int Red = 0;
    for (LONG Y = Line.top; Y < Line.bottom; ++Y) {
        for (LONG X = Line.left; X < Line.right; ++X) {
            const COLORREF Pixel = GetPixel(Screen, X, Y);
            White += Pixel == RGB(255, 255, 255) ? 1 : 0;
            Red += Pixel == RGB(255, 0, 0) ? 1 : 0;
        }
    }
    ReleaseDC(Window(), Screen);
    EXPECT_GT(White, 20);
    EXPECT_GT(Red, (Line.right - Line.left) * (Line.bottom - Line.top) / 2);
}

// Wine 8 has no high-contrast mode: SPI_GETHIGHCONTRAST always says it is off. The window is told
// by the query it is given, as the system would tell it, and sent the messages the system sends.
TEST_F(TfrmMainTest, InHighContrastTheWindowTakesTheSystemsColoursAndFollowsAChange) {
    bool HighContrast = true;
    TfrmMain Contrasted(ProgramParts(), [&] { return HighContrast; });
    Contrasted.Show();
    Contrasted.SetTimerArmed(false);  // no download here
    const HWND Status = Contrasted.FindControl(u"labMessage");
    // How many of the status line's pixels are in each colour, and the colour between the bar and
    // the status line.
    const auto Drawn = [&](COLORREF AText, COLORREF ABackground) {
        RedrawWindow(Contrasted.Handle(), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        PumpFor(200ms);
        const HDC Screen = GetDC(Contrasted.Handle());
        const RECT Line = ClientRectOf(Status);
        int Text = 0;
        int Background = 0;
        for (LONG Y = Line.top; Y < Line.bottom; ++Y) {
            for (LONG X = Line.left; X < Line.right; ++X) {
                const COLORREF Pixel = GetPixel(Screen, X, Y);
                Text += Pixel == AText ? 1 : 0;
                Background += Pixel == ABackground ? 1 : 0;
            }
        }
        const COLORREF Between = GetPixel(Screen, 1, 29);
        ReleaseDC(Contrasted.Handle(), Screen);
        return Text > 20 && Background > (Line.right - Line.left) * (Line.bottom - Line.top) / 2 &&
               Between == ABackground;
    };
    const COLORREF WindowColor = GetSysColor(COLOR_WINDOW);
    const COLORREF TextColor = GetSysColor(COLOR_WINDOWTEXT);
    ASSERT_NE(WindowColor, RGB(255, 0, 0));
    EXPECT_TRUE(Drawn(TextColor, WindowColor));

    // Switched off while the window is open, then on again.
    HighContrast = false;
    SendMessageW(Contrasted.Handle(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_TRUE(Drawn(RGB(255, 255, 255), RGB(255, 0, 0)));
    HighContrast = true;
    SendMessageW(Contrasted.Handle(), WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_TRUE(Drawn(TextColor, WindowColor));
}

TEST_F(TfrmMainTest, ButtonsLieInFrontOfTheBarAndTheStatusLine) {
    frmMain.Show();
    EXPECT_EQ(ChildAt(10, 10), Bar());
    EXPECT_EQ(ChildAt(600, 40), labMessage());

    View().SetRetryButtonVisible(true);
    View().SetDownloadLinkButtonVisible(true);
    const auto ExpectButtonsInFront = [&] {
        // btnRetry covers the bar but for its bottom 2 pixels.
        EXPECT_EQ(ChildAt(0, 0), btnRetry());
        EXPECT_EQ(ChildAt(693, 24), btnRetry());
        EXPECT_EQ(ChildAt(10, 25), Bar());
        EXPECT_EQ(ChildAt(693, 26), Bar());
        // btnDownloadLink covers the right end of the status line.
        EXPECT_EQ(ChildAt(485, 32), btnDownloadLink());
        EXPECT_EQ(ChildAt(685, 52), btnDownloadLink());
        EXPECT_EQ(ChildAt(484, 40), labMessage());
        EXPECT_EQ(ChildAt(688, 40), labMessage());
    };
    ExpectButtonsInFront();
    // Stacking survives a round trip through both styles.
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    ExpectButtonsInFront();
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    ExpectButtonsInFront();
    EXPECT_TRUE(HasStyle(Bar(), PBS_MARQUEE));

    View().SetRetryButtonVisible(false);
    EXPECT_FALSE(Shown(btnRetry()));
    EXPECT_EQ(ChildAt(0, 0), Bar());
}

TEST_F(TfrmMainTest, TabMovesFromTheBarToTheLinkThenToRetry) {
    frmMain.Show();
    View().SetRetryButtonVisible(true);
    View().SetDownloadLinkButtonVisible(true);
    EXPECT_EQ(GetNextDlgTabItem(Window(), Bar(), FALSE), btnDownloadLink());
    EXPECT_EQ(GetNextDlgTabItem(Window(), btnDownloadLink(), FALSE), btnRetry());
    EXPECT_EQ(GetNextDlgTabItem(Window(), btnRetry(), TRUE), btnDownloadLink());
    // The bar takes no focus: from the last button Tab goes round to the first.
    EXPECT_EQ(GetNextDlgTabItem(Window(), btnRetry(), FALSE), btnDownloadLink());

    // The Tab key itself, through the window's message handling.
    SetFocus(btnDownloadLink());
    PostMessageW(btnDownloadLink(), WM_KEYDOWN, VK_TAB, 1);
    View().ProcessMessages();
    EXPECT_EQ(GetFocus(), btnRetry());
}

TEST_F(TfrmMainTest, ProgressBarKeepsPositionsWithinZeroToHundred) {
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_FALSE(HasStyle(Bar(), PBS_MARQUEE));
    View().SetProgressBarPosition(150);
    EXPECT_EQ(View().ProgressBarPosition(), 100);
    EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), 100);
    View().SetProgressBarPosition(-7);
    EXPECT_EQ(View().ProgressBarPosition(), 0);
    EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), 0);
    View().SetProgressBarPosition(42);
    EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), 42);
}

TEST_F(TfrmMainTest, ProgressBarReturnsFromMarqueeToTheRecordedPosition) {
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    View().SetProgressBarPosition(50);
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    EXPECT_TRUE(HasStyle(Bar(), PBS_MARQUEE));
    View().SetProgressBarPosition(0);
    EXPECT_EQ(View().ProgressBarPosition(), 0);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);

    EXPECT_EQ(View().ProgressBarPosition(), 50);
    EXPECT_FALSE(HasStyle(Bar(), PBS_MARQUEE));
    EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), 50);
}

TEST_F(TfrmMainTest, ProgressBarLeavesMarqueeAtZeroWhenItNeverLeftIt) {
    View().SetProgressBarPosition(40);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_EQ(View().ProgressBarPosition(), 0);
    EXPECT_EQ(SendMessageW(Bar(), PBM_GETPOS, 0, 0), 0);
}

TEST_F(TfrmMainTest, ProgressBarIgnoresTheStyleItAlreadyHas) {
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    View().SetProgressBarPosition(70);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_EQ(View().ProgressBarPosition(), 70);

    // A second marquee must not record the position set while in marquee.
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    View().SetProgressBarPosition(10);
    View().SetProgressBarStyle(TProgressBarStyle::Marquee);
    View().SetProgressBarStyle(TProgressBarStyle::Normal);
    EXPECT_EQ(View().ProgressBarPosition(), 70);
}

TEST_F(TfrmMainTest, TimerRunsTheDownloadOnceASecondAfterShowing) {
    using std::chrono::steady_clock;
    int Expiries = 0;
    steady_clock::time_point Expired;
    const TMessageWatch Watch(Window(), [&](UINT AMessage, WPARAM, LPARAM) {
        if (AMessage == WM_TIMER) {
            ++Expiries;
            Expired = steady_clock::now();
        }
    });
    // Measured from before the arming: a timer that fires early is caught, one on time never.
    steady_clock::time_point Armed = steady_clock::now();
    frmMain.Show();
    EXPECT_EQ(Expiries, 0);

    // The run cannot reach its temporary directory and shows the download-failed state.
    ASSERT_TRUE(PumpUntil([&] { return ShowsFailure(); }));
    EXPECT_EQ(Expiries, 1);
    EXPECT_GE(Expired - Armed, 1000ms);
    EXPECT_FALSE(frmMain.TimerArmed());
    EXPECT_EQ(TextOf(Window()), u"Téléchargement échoué !");
    EXPECT_EQ(TextOf(labMessage()),
              u"Impossible de télécharger Korvane, veuillez vérifier votre connexion");
    EXPECT_TRUE(fs::is_empty(FTemp.Root()));

    // One expiry per arming.
    PumpFor(1500ms);
    EXPECT_EQ(Expiries, 1);

    // Retry arms it again, for a whole second each time.
    for (int Retries = 1; Retries <= 4; ++Retries) {
        Armed = steady_clock::now();
        SendMessageW(btnRetry(), BM_CLICK, 0, 0);
        EXPECT_FALSE(Shown(btnRetry()));
        EXPECT_TRUE(frmMain.TimerArmed());
        EXPECT_EQ(TextOf(Window()), kCaptionDownloading);
        ASSERT_TRUE(PumpUntil([&] { return ShowsFailure(); }));
        EXPECT_EQ(Expiries, 1 + Retries);
        EXPECT_GE(Expired - Armed, 1000ms);
    }
}

// The keys as the message loop gets them from the keyboard, sent to the focused control.
TEST_F(TfrmMainTest, TheFailedStateFocusesRetryAndTheKeysMoveBetweenAndPressTheButtons) {
    const auto Press = [&](WPARAM AKey) {
        PostMessageW(GetFocus(), WM_KEYDOWN, AKey, 1);
        PostMessageW(GetFocus(), WM_KEYUP, AKey, 1 | (3U << 30));
        PumpFor(100ms);
    };
    frmMain.Show();
    ASSERT_TRUE(PumpUntil([&] { return ShowsFailure(); }));
    EXPECT_EQ(GetFocus(), btnRetry());

    // Tab goes round the two buttons: the bar is no tab stop.
    Press(VK_TAB);
    EXPECT_EQ(GetFocus(), btnDownloadLink());
    Press(VK_TAB);
    EXPECT_EQ(GetFocus(), btnRetry());

    // Back from another window, the focus is where it was.
    const HWND Other = CreateWindowExW(0, L"Static", L"", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10,
                                       nullptr, nullptr, nullptr, nullptr);
    SetActiveWindow(Other);
    EXPECT_NE(GetFocus(), btnRetry());
    SetActiveWindow(Window());
    EXPECT_EQ(GetFocus(), btnRetry());
    DestroyWindow(Other);

    // Enter presses it: a new run, which fails again; then Space does.
    for (const WPARAM Key : {VK_RETURN, VK_SPACE}) {
        Press(Key);
        EXPECT_EQ(TextOf(Window()), kCaptionDownloading) << Key;
        EXPECT_FALSE(Shown(btnRetry()));
        ASSERT_TRUE(PumpUntil([&] { return ShowsFailure(); }));
        EXPECT_EQ(GetFocus(), btnRetry());
    }
}

TEST_F(TfrmMainTest, ArmingAnArmedTimerKeepsItsPeriod) {
    int Expiries = 0;
    const TMessageWatch Watch(
        Window(), [&](UINT AMessage, WPARAM, LPARAM) { Expiries += AMessage == WM_TIMER ? 1 : 0; });
    View().SetTimerArmed(true);
    // Re-armed ten times a period: a restart on each would never let it expire.
    const bool Expired = PumpUntil(
        [&] {
            View().SetTimerArmed(true);
            PumpFor(100ms);
            return Expiries > 0;
        },
        10s);
    EXPECT_TRUE(Expired);

    // Disarming a disarmed timer does nothing; disarming an armed one stops it.
    View().SetTimerArmed(false);
    View().SetTimerArmed(false);
    View().SetTimerArmed(true);
    View().SetTimerArmed(false);
    const int Before = Expiries;
    PumpFor(1500ms);
    EXPECT_EQ(Expiries, Before);
}

TEST_F(TfrmMainTest, CloseLeavesTheWindowUpAndPostsTheQuitMessage) {
    frmMain.Show();
    View().CloseWindow();
    // The caller goes on, the window as it was.
    EXPECT_TRUE(IsWindowVisible(Window()));
    EXPECT_FALSE(frmMain.TimerArmed());
    MSG Message;
    EXPECT_TRUE(PeekMessageW(&Message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_FALSE(frmMain.Terminating());

    // A pump takes the quit message, records it, handles the rest and returns.
    PostMessageW(Window(), WM_NULL, 0, 0);
    View().ProcessMessages();
    EXPECT_TRUE(frmMain.Terminating());
    EXPECT_FALSE(PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(IsWindow(Window()));
}

TEST_F(TfrmMainTest, CloseBoxAndAltF4CloseTheWindowBeforeAnyDownload) {
    int Expiries = 0;
    const TMessageWatch Watch(
        Window(), [&](UINT AMessage, WPARAM, LPARAM) { Expiries += AMessage == WM_TIMER ? 1 : 0; });
    frmMain.Show();
    PostMessageW(Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(PumpUntil([&] { return frmMain.Terminating(); }));
    // Closed before the timer fired: no download starts.
    PumpFor(1500ms);
    EXPECT_EQ(Expiries, 0);
    EXPECT_FALSE(ShowsFailure());

    TfrmMain Second(ProgramParts());
    Second.Show();
    // Alt+F4: the key with the Alt bit, as the keyboard sends it.
    PostMessageW(Second.Handle(), WM_SYSKEYDOWN, VK_F4, LPARAM{1} | (LPARAM{1} << 29));
    Second.ProcessMessages();
    EXPECT_TRUE(Second.Terminating());
}

TEST_F(TfrmMainTest, RunsWithCommonControlsSix) {
    // Wine reports version 5.81 for both; the side-by-side assembly's folder tells them apart.
    const HMODULE Module = GetModuleHandleW(L"comctl32.dll");
    ASSERT_NE(Module, nullptr);
    wchar_t Path[MAX_PATH] = {};
    GetModuleFileNameW(Module, Path, MAX_PATH);
    std::wstring Lower(Path);
    for (wchar_t& Character : Lower) {
        Character = static_cast<wchar_t>(std::towlower(Character));
    }
    EXPECT_NE(Lower.find(L"\\winsxs\\"), std::wstring::npos) << Lower.c_str();
    EXPECT_NE(Lower.find(L"microsoft.windows.common-controls"), std::wstring::npos)
        << Lower.c_str();
    EXPECT_NE(Lower.find(L"_6.0."), std::wstring::npos) << Lower.c_str();
}

TEST(ApplicationTitle, IsTheFileNameUpToItsFirstFullStopInLowerCaseButTheFirstCharacter) {
    EXPECT_EQ(ApplicationTitle(u"KorvaneDownloader.exe"), u"Korvanedownloader");
    EXPECT_EQ(ApplicationTitle(u"korvane.setup.EXE"), u"korvane");
    EXPECT_EQ(ApplicationTitle(u"ÉTÉ-ÀLA.exe"), u"Été-àla");
    EXPECT_EQ(ApplicationTitle(u"X.exe"), u"X");
    EXPECT_EQ(ApplicationTitle(u"NOEXTENSION"), u"Noextension");
    EXPECT_EQ(ApplicationTitle(u".exe"), u"");
}

TEST(FailureText, GetsAFullStopWhenItEndsInACharacterAfterOne) {
    EXPECT_EQ(FailureText(u"Disk full"), u"Disk full.");
    EXPECT_EQ(FailureText(u"Disk full."), u"Disk full.");
    EXPECT_EQ(FailureText(u"Really?"), u"Really?.");
    EXPECT_EQ(FailureText(u"Stop!"), u"Stop!");  // '!' sorts before '.'
    EXPECT_EQ(FailureText(u"Code 5"), u"Code 5.");
    EXPECT_EQ(FailureText(u"échoué"), u"échoué.");
    EXPECT_EQ(FailureText(u""), u"");
}

// A visible dialog box of the thread; ALParam points at the handle to fill in.
BOOL CALLBACK FindDialogBox(HWND AWindow, LPARAM ALParam) {
    wchar_t ClassName[16] = {};
    GetClassNameW(AWindow, ClassName, 16);
    if (std::wstring_view(ClassName) == L"#32770" && IsWindowVisible(AWindow)) {
        *reinterpret_cast<HWND*>(ALParam) = AWindow;
        return FALSE;
    }
    return TRUE;
}

// What a message box shows: its longest static text and its icon.
struct TMessageBoxContent {
    std::u16string Message;
    HICON Icon = nullptr;
};

BOOL CALLBACK CollectContent(HWND AChild, LPARAM ALParam) {
    wchar_t ClassName[16] = {};
    GetClassNameW(AChild, ClassName, 16);
    if (std::wstring_view(ClassName) != L"Static") {
        return TRUE;
    }
    auto& Content = *reinterpret_cast<TMessageBoxContent*>(ALParam);
    if ((GetWindowLongPtrW(AChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        Content.Icon = reinterpret_cast<HICON>(SendMessageW(AChild, STM_GETICON, 0, 0));
    } else if (TextOf(AChild).size() > Content.Message.size()) {
        Content.Message = TextOf(AChild);
    }
    return TRUE;
}

TEST(DefaultFailureHandler, ShowsTheFailureInAnErrorBoxAndTheProgramCarriesOn) {
    const DWORD Thread = GetCurrentThreadId();
    std::atomic<bool> Returned{false};
    std::u16string Title;
    TMessageBoxContent Content;
    // The box is modal: another thread reads it and presses OK.
    std::thread Reader([&] {
        const auto Deadline = std::chrono::steady_clock::now() + 30s;
        while (!Returned && std::chrono::steady_clock::now() < Deadline) {
            HWND Box = nullptr;
            EnumThreadWindows(Thread, &FindDialogBox, reinterpret_cast<LPARAM>(&Box));
            if (Box != nullptr) {
                Title = TextOf(Box);
                EnumChildWindows(Box, &CollectContent, reinterpret_cast<LPARAM>(&Content));
                PostMessageW(Box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(50);
        }
    });
    const bool RanToItsEnd = RunHandler([] { throw std::runtime_error("Le disque est plein"); });
    Returned = true;
    Reader.join();

    EXPECT_FALSE(RanToItsEnd);
    EXPECT_EQ(Title, u"test_win32_window");
    EXPECT_EQ(Content.Message, u"Le disque est plein.");
    // The system's shared error icon.
    EXPECT_NE(Content.Icon, nullptr);
    EXPECT_EQ(Content.Icon, LoadIconW(nullptr, IDI_ERROR));
}

}  // namespace
}  // namespace korvane
