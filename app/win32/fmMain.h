// The program's only window: a progress bar, a status line and, after a failure, two buttons. It
// owns the HTTP client and the download run, and offers the run the operations it drives the
// window with. Built from the template TFRMMAIN in the executable's resources.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ProgressBar.h"
#include "download/DownloadParts.h"
#include "download/MainWindow.h"

namespace korvane {

class TfrmMain : public TMainWindow {
public:
    // Runs its downloads with `AParts`.
    explicit TfrmMain(TDownloadParts AParts);
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

    HWND Handle() const { return FHandle.get(); }
    // The control of that name in the template; nullptr for none.
    HWND FindControl(std::u16string_view AName) const;
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
    struct TControl {
        std::u16string Name;
        HWND Handle;
        COLORREF TextColor;  // CLR_DEFAULT: the system's
    };
    struct TWindowDeleter {
        void operator()(HWND AHandle) const {
            // The messages of its destruction find no window object any more: its members may
            // be gone already.
            SetWindowLongPtrW(AHandle, GWLP_USERDATA, 0);
            DestroyWindow(AHandle);
        }
    };
    struct TGdiObjectDeleter {
        void operator()(HGDIOBJ AObject) const { DeleteObject(AObject); }
    };
    using TFont = std::unique_ptr<std::remove_pointer_t<HFONT>, TGdiObjectDeleter>;
    using TBrush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, TGdiObjectDeleter>;

    static LRESULT CALLBACK WindowProc(HWND AHandle, UINT AMessage, WPARAM AWParam,
                                       LPARAM ALParam) noexcept;
    LRESULT HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) noexcept;
    void CreateFromTemplate();
    HWND Control(std::u16string_view AName) const;
    const TControl* ControlOf(HWND AHandle) const;

    void CentreOnPrimaryMonitor();

    // GDI objects outlive the window that draws with them.
    std::vector<TFont> FFonts;
    TBrush FBackgroundBrush;
    COLORREF FColor = 0;
    HFONT FFont = nullptr;  // the window's font, one of FFonts
    std::unique_ptr<std::remove_pointer_t<HWND>, TWindowDeleter> FHandle;
    std::vector<TControl> FControls;  // children of FHandle, destroyed with it

    TProgressBar ProgressBar;
    HWND labMessage = nullptr;
    HWND btnDownloadLink = nullptr;
    HWND btnRetry = nullptr;
    bool FTimerArmed = false;  // Timer: the window timer kTimerId

    bool FCentred = false;
    bool FTerminating = false;
};

}  // namespace korvane
