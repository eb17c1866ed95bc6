#include "ProgressBar.h"

#include <commctrl.h>

namespace korvane {

TProgressBar::TProgressBar(HWND AHandle) : FHandle(AHandle) {
    SendMessageW(FHandle, PBM_SETRANGE32, TProgressBarState::kMinPosition,
                 TProgressBarState::kMaxPosition);
    ShowState();
}

void TProgressBar::SetStyle(TProgressBarStyle AStyle) {
    if (FState.SetStyle(AStyle)) {
        ShowState();
    }
}

void TProgressBar::SetPosition(int APosition) {
    // The control clamps as well, but a marquee has no position to read back: the position lives
    // in the state.
    FState.SetPosition(APosition);
    if (FHandle != nullptr && FState.Style() == TProgressBarStyle::Normal) {
        SendMessageW(FHandle, PBM_SETPOS, static_cast<WPARAM>(FState.Position()), 0);
    }
}

void TProgressBar::ShowState() {
    if (FHandle == nullptr) {
        return;
    }
    // The style changes in place: the control stays where it is in the stacking order, behind the
    // buttons.
    const LONG_PTR Style = GetWindowLongPtrW(FHandle, GWL_STYLE);
    if (FState.Style() == TProgressBarStyle::Marquee) {
        if ((Style & PBS_MARQUEE) == 0) {
            SetWindowLongPtrW(FHandle, GWL_STYLE, Style | PBS_MARQUEE);
        }
        SendMessageW(FHandle, PBM_SETMARQUEE, TRUE, kMarqueeInterval);
    } else {
        if ((Style & PBS_MARQUEE) != 0) {
            SendMessageW(FHandle, PBM_SETMARQUEE, FALSE, 0);
            SetWindowLongPtrW(FHandle, GWL_STYLE, Style & ~LONG_PTR{PBS_MARQUEE});
        }
        SendMessageW(FHandle, PBM_SETPOS, static_cast<WPARAM>(FState.Position()), 0);
    }
    InvalidateRect(FHandle, nullptr, TRUE);
}

}  // namespace korvane
