#include "fmMain.h"

#include <commctrl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/Application.h"
#include "fmMainTemplate.h"
#include "platform/WindowsText.h"

namespace korvane {

namespace {

using platform::AsWide;

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerInterval = 1000;

}  // namespace

bool HighContrastOn() {
    HIGHCONTRASTW Settings{};
    Settings.cbSize = sizeof Settings;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof Settings, &Settings, 0) &&
           (Settings.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

TfrmMain::TfrmMain(TDownloadParts AParts, std::function<bool()> AHighContrastOn)
    : FHighContrastOn(std::move(AHighContrastOn)) {
    CreateFromTemplate(kfrmMainTemplate);
    RunHandler([&] { FormCreate(std::move(AParts)); });
}

TfrmMain::~TfrmMain() {
    // Before the brush and the fonts that the window and its controls draw with.
    Destroy();
}

void TfrmMain::CreateFromTemplate(const TFormTemplate& AForm) {
    FTemplate = &AForm;
    Create(AForm.ExStyle, AForm.Style);
    FollowSystemColors();
    FControls.Create(Handle(), AForm.Controls);
    ProgressBar = TProgressBar(FControls.Get(u"ProgressBar"));
    labMessage = FControls.Get(u"labMessage");
    btnDownloadLink = FControls.Get(u"btnDownloadLink");
    btnRetry = FControls.Get(u"btnRetry");
    FAnnotations.MakeLiveRegion(labMessage);
    const UINT WindowDpi = Dpi();
    ScaleTo(WindowDpi);
    SetClientSize(Scaled(AForm.ClientWidth, WindowDpi), Scaled(AForm.ClientHeight, WindowDpi),
                  WindowDpi);
}

void TfrmMain::ScaleTo(UINT ADpi) {
    TFont Font = CreateFontOf(FTemplate->Font, ADpi);
    FControls.Layout(ADpi, Font.get());
    FFont = std::move(Font);  // the earlier one once no control draws with it
    // The caption's and the taskbar's icons, from the image drawn for that size.
    TIcon SmallIcon = LoadIconOfSize(kIconName, GetSystemMetricsForDpi(SM_CXSMICON, ADpi));
    TIcon LargeIcon = LoadIconOfSize(kIconName, GetSystemMetricsForDpi(SM_CXICON, ADpi));
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(SmallIcon.get()));
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LargeIcon.get()));
    FSmallIcon = std::move(SmallIcon);
    FLargeIcon = std::move(LargeIcon);
}

void TfrmMain::FollowSystemColors() {
    FHighContrast = FHighContrastOn();
    // Red and white are unreadable for those who switch high contrast on.
    FColor = FHighContrast ? GetSysColor(COLOR_WINDOW) : FTemplate->Color;
    FBackgroundBrush = CreateBrushOf(FColor);
    RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// Moved to a monitor of another resolution, or that monitor's scale changed.
void TfrmMain::DpiChanged(UINT ADpi, const RECT& ASuggested) {
    ScaleTo(ADpi);
    // Where Windows suggests: centring it there could move it back to the other monitor, and so on.
    SetWindowPos(Handle(), nullptr, ASuggested.left, ASuggested.top,
                 ASuggested.right - ASuggested.left, ASuggested.bottom - ASuggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetClientSize(Scaled(FTemplate->ClientWidth, ADpi), Scaled(FTemplate->ClientHeight, ADpi),
                  ADpi);
}

void TfrmMain::SetButtonCaptions(std::u16string_view ADownloadLink, std::u16string_view ARetry) {
    SetWindowTextW(btnDownloadLink, AsWide(std::u16string(ADownloadLink)));
    SetWindowTextW(btnRetry, AsWide(std::u16string(ARetry)));
}

void TfrmMain::Show() {
    ShowWindow(Handle(), SW_SHOW);
    UpdateWindow(Handle());
}

void TfrmMain::CentreOnPrimaryMonitor() {
    MONITORINFO Monitor{};
    Monitor.cbSize = sizeof Monitor;
    if (!GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &Monitor)) {
        return;
    }
    const RECT& WorkArea = Monitor.rcWork;
    RECT Outer{};
    GetWindowRect(Handle(), &Outer);
    const LONG Width = Outer.right - Outer.left;
    const LONG Height = Outer.bottom - Outer.top;
    SetWindowPos(Handle(), nullptr, WorkArea.left + (WorkArea.right - WorkArea.left - Width) / 2,
                 WorkArea.top + (WorkArea.bottom - WorkArea.top - Height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmMain::SetTitle(std::u16string_view ATitle) {
    SetWindowTextW(Handle(), AsWide(std::u16string(ATitle)));
    // The bar says what it shows: the download, while the title says so.
    FAnnotations.SetName(ProgressBar.Handle(), ATitle);
}

void TfrmMain::SetStatusText(std::u16string_view AText) {
    wchar_t Shown[512] = {};
    GetWindowTextW(labMessage, Shown, 512);
    const std::u16string Text(AText);
    if (Text == reinterpret_cast<const char16_t*>(Shown)) {
        return;
    }
    SetWindowTextW(labMessage, AsWide(Text));
    TAccessibleAnnotations::LiveRegionChanged(labMessage);
}

void TfrmMain::SetProgressBarStyle(TProgressBarStyle AStyle) {
    ProgressBar.SetStyle(AStyle);
}

void TfrmMain::SetProgressBarPosition(int APosition) {
    ProgressBar.SetPosition(APosition);
}

int TfrmMain::ProgressBarPosition() const {
    return ProgressBar.Position();
}

void TfrmMain::SetRetryButtonVisible(bool AVisible) {
    ShowWindow(btnRetry, AVisible ? SW_SHOWNA : SW_HIDE);
    if (AVisible) {
        FFocusedButton = btnRetry;
        SetFocus(btnRetry);
    }
}

void TfrmMain::SetDownloadLinkButtonVisible(bool AVisible) {
    ShowWindow(btnDownloadLink, AVisible ? SW_SHOWNA : SW_HIDE);
}

void TfrmMain::SetTimerArmed(bool AArmed) {
    if (AArmed == FTimerArmed) {
        return;  // re-arming would restart the period
    }
    if (AArmed) {
        if (SetTimer(Handle(), kTimerId, kTimerInterval, nullptr) == 0) {
            throw std::runtime_error("Cannot arm the timer");
        }
    } else {
        KillTimer(Handle(), kTimerId);
    }
    FTimerArmed = AArmed;
}

void TfrmMain::CloseWindow() {
    bool CanClose = true;
    FormCloseQuery(CanClose);
    if (!CanClose) {
        return;
    }
    // A closed window starts no download, even while the message loop runs on for a moment.
    SetTimerArmed(false);
    // The window stays as it is until the loop has ended and its owner destroys it.
    PostQuitMessage(0);
}

void TfrmMain::ProcessMessages() {
    MSG Message;
    while (PeekMessageW(&Message, nullptr, 0, 0, PM_REMOVE)) {
        if (Message.message == WM_QUIT) {
            // Taken here, the quit message never reaches the message loop: it ends on this flag.
            FTerminating = true;
            continue;
        }
        DispatchWindowMessage(Message);
    }
}

void TfrmMain::DispatchWindowMessage(MSG& AMessage) {
    if (PressedFocusedButton(AMessage)) {
        return;
    }
    // Tab moves between the buttons, Space presses the focused one.
    if (!IsDialogMessageW(Handle(), &AMessage)) {
        TranslateMessage(&AMessage);
        DispatchMessageW(&AMessage);
    }
}

// Enter presses the focused button, as in a dialog box. The dialog manager would do so only for a
// default push button, which a window that is no dialog box does not make; it sends IDOK instead.
bool TfrmMain::PressedFocusedButton(const MSG& AMessage) {
    const HWND Focus = GetFocus();
    if (AMessage.message != WM_KEYDOWN || AMessage.wParam != VK_RETURN ||
        (Focus != btnRetry && Focus != btnDownloadLink)) {
        return false;
    }
    SendMessageW(Focus, BM_CLICK, 0, 0);
    return true;
}

platform::TWindowHandle TfrmMain::NativeHandle() const {
    return platform::TWindowHandle{reinterpret_cast<std::uintptr_t>(Handle())};
}

LRESULT TfrmMain::HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) noexcept {
    switch (AMessage) {
        case WM_ERASEBKGND:
            return EraseBackground(reinterpret_cast<HDC>(AWParam));
        case WM_CTLCOLORSTATIC:
            return ColorStatic(reinterpret_cast<HDC>(AWParam), reinterpret_cast<HWND>(ALParam));
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(FFont.get());
        case WM_SHOWWINDOW:
            // Sent by ShowWindow before the window becomes visible.
            if (AWParam != FALSE && ALParam == 0) {
                ShowingWindow();
            }
            break;
        case WM_TIMER:
            if (TimerExpired(AWParam)) {
                return 0;
            }
            break;
        case WM_COMMAND:
            if (HIWORD(AWParam) == BN_CLICKED && ButtonClicked(reinterpret_cast<HWND>(ALParam))) {
                return 0;
            }
            break;
        case WM_SETTINGCHANGE:
        case WM_SYSCOLORCHANGE:
            // High contrast switched on or off, or the system's colours changed.
            RunHandler([this] { FollowSystemColors(); });
            break;
        case WM_DPICHANGED:
            // The new DPI twice, horizontal and vertical, which are always the same.
            RunHandler(
                [&] { DpiChanged(LOWORD(AWParam), *reinterpret_cast<const RECT*>(ALParam)); });
            return 0;
        case WM_ACTIVATE:
            // Deactivated, the window keeps which button had the focus, to give it back.
            if (const HWND Focus = GetFocus();
                LOWORD(AWParam) == WA_INACTIVE && (Focus == btnRetry || Focus == btnDownloadLink)) {
                FFocusedButton = Focus;
            }
            break;
        case WM_SETFOCUS:
            // Activated, the window passes the focus on to that button, as a dialog box does.
            if (FFocusedButton != nullptr && IsWindowVisible(FFocusedButton)) {
                SetFocus(FFocusedButton);
                return 0;
            }
            break;
        case WM_CLOSE:
            // The close box and Alt+F4. Not DefWindowProc: the window lives until the loop ends.
            RunHandler([this] { CloseWindow(); });
            return 0;
        default:
            break;
    }
    return DefWindowProcW(Handle(), AMessage, AWParam, ALParam);
}

LRESULT TfrmMain::EraseBackground(HDC ADeviceContext) {
    RECT Client{};
    GetClientRect(Handle(), &Client);
    FillRect(ADeviceContext, &Client, FBackgroundBrush.get());
    return 1;
}

// The status line is drawn on the window's own background.
LRESULT TfrmMain::ColorStatic(HDC ADeviceContext, HWND AControl) {
    const COLORREF TextColor =
        FHighContrast ? GetSysColor(COLOR_WINDOWTEXT) : FControls.TextColorOf(AControl);
    if (TextColor != CLR_DEFAULT) {
        SetTextColor(ADeviceContext, TextColor);
    }
    SetBkColor(ADeviceContext, FColor);
    SetBkMode(ADeviceContext, TRANSPARENT);
    return reinterpret_cast<LRESULT>(FBackgroundBrush.get());
}

void TfrmMain::ShowingWindow() {
    RunHandler([this] { FormShow(); });
    if (!FCentred) {
        CentreOnPrimaryMonitor();
        FCentred = true;
    }
}

// Only an armed Timer counts: one expiry per arming, as the run expects.
bool TfrmMain::TimerExpired(UINT_PTR ATimerId) {
    if (ATimerId != kTimerId || !FTimerArmed) {
        return false;
    }
    SetTimerArmed(false);
    RunHandler([this] { TimerTimer(); });
    return true;
}

bool TfrmMain::ButtonClicked(HWND AButton) {
    if (AButton == btnRetry) {
        RunHandler([this] { btnRetryClick(); });
        return true;
    }
    if (AButton == btnDownloadLink) {
        RunHandler([this] { btnDownloadLinkClick(); });
        return true;
    }
    return false;
}

}  // namespace korvane
