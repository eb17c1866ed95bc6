// The program's only window: a progress bar, a status line and, after a failure, two buttons. It
// owns the HTTP client and the download run, and offers the run the operations it drives the
// window with. Built from kfrmMainTemplate (fmMainTemplate.h).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string_view>

#include "AccessibleAnnotations.h"
#include "BaseWindow.h"
#include "FormControls.h"
#include "FormTemplate.h"
#include "GdiObjects.h"
#include "ProgressBar.h"
#include "download/DownloadParts.h"
#include "download/MainWindow.h"

namespace korvane {

// Whether the system's high-contrast mode is on.
bool HighContrastOn();

class TfrmMain : public TMainWindow, public TBaseWindow<TfrmMain> {
public:
    static constexpr wchar_t kClassName[] = L"TfrmMain";
    static constexpr wchar_t kIconName[] = L"MAINICON";

    // Runs its downloads with `AParts`; asks `AHighContrastOn` whether to take the system's
    // colours in place of its own.
    explicit TfrmMain(TDownloadParts AParts,
                      std::function<bool()> AHighContrastOn = &korvane::HighContrastOn);
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;
    ~TfrmMain() override;

    // Shows the window. Each show runs FormShow first; the first one also centres the window on
    // the primary monitor's work area, so that it first appears titled and in place.
    void Show();
    // Hands one message to its window, with the keys that move between and press the buttons.
    void DispatchWindowMessage(MSG& AMessage);
    // True once a message pump took the quit message: the message loop has to end.
    bool Terminating() const { return FTerminating; }

    // The control of that name in the template; nullptr for none.
    HWND FindControl(std::u16string_view AName) const { return FControls.Find(AName); }
    bool TimerArmed() const { return FTimerArmed; }

    void SetTitle(std::u16string_view ATitle) override;
    void SetStatusText(std::u16string_view AText) override;
    void SetProgressBarStyle(TProgressBarStyle AStyle) override;
    void SetProgressBarPosition(int APosition) override;
    int ProgressBarPosition() const override;
    void SetRetryButtonVisible(bool AVisible) override;
    void SetDownloadLinkButtonVisible(bool AVisible) override;
    void SetTimerArmed(bool AArmed) override;
    // Runs the close query and, when it lets the window close, posts the quit message. A failure
    // of the close query reaches the caller.
    void CloseWindow() override;
    void ProcessMessages() override;
    platform::TWindowHandle NativeHandle() const override;

protected:
    void SetButtonCaptions(std::u16string_view ADownloadLink, std::u16string_view ARetry) override;

private:
    friend class TBaseWindow<TfrmMain>;

    void CreateFromTemplate(const TFormTemplate& AForm);
    // Fonts, controls and icons for `ADpi`; the window's own size is the caller's to set.
    void ScaleTo(UINT ADpi);
    void DpiChanged(UINT ADpi, const RECT& ASuggested);
    // The template's colours, or in high-contrast mode the system's window and text colours.
    void FollowSystemColors();
    void CentreOnPrimaryMonitor();

    LRESULT HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) noexcept;
    LRESULT EraseBackground(HDC ADeviceContext);
    LRESULT ColorStatic(HDC ADeviceContext, HWND AControl);
    void ShowingWindow();
    bool TimerExpired(UINT_PTR ATimerId);
    bool ButtonClicked(HWND AButton);
    bool PressedFocusedButton(const MSG& AMessage);

    const TFormTemplate* FTemplate = nullptr;
    const std::function<bool()> FHighContrastOn;
    bool FHighContrast = false;
    // GDI objects outlive the window that draws with them: the destructor destroys it first.
    COLORREF FColor = 0;
    TBrush FBackgroundBrush;
    TFont FFont;  // the window's
    TIcon FSmallIcon;
    TIcon FLargeIcon;
    TFormControls FControls;
    TAccessibleAnnotations FAnnotations;

    TProgressBar ProgressBar;
    HWND labMessage = nullptr;
    HWND btnDownloadLink = nullptr;
    HWND btnRetry = nullptr;
    bool FTimerArmed = false;  // Timer: the window timer kTimerId

    // The button that had the focus when the window was last deactivated, or that took it.
    HWND FFocusedButton = nullptr;
    bool FCentred = false;
    bool FTerminating = false;
};

}  // namespace korvane
