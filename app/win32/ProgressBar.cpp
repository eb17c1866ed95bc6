#include "ProgressBar.h"

#include <commctrl.h>

#include <algorithm>

namespace korvane {

TProgressBar::TProgressBar(HWND AHandle) : FHandle(AHandle) {
    SendMessageW(FHandle, PBM_SETRANGE32, kMinPosition, kMaxPosition);
    ShowState();
}

void TProgressBar::SetStyle(TProgressBarStyle AStyle) {
    if (AStyle == FStyle) {
        return;
    }
    if (AStyle == TProgressBarStyle::Marquee) {
        FRecordedPosition = FPosition;
    } else {
        FPosition = FRecordedPosition;
    }
    FStyle = AStyle;
    ShowState();
}

void TProgressBar::SetPosition(int APosition) {
    // The control clamps as well, but a marquee has no position to read back: the position lives
    // here.
    FPosition = std::clamp(APosition, kMinPosition, kMaxPosition);
    if (FHandle != nullptr && FStyle == TProgressBarStyle::Normal) {
        SendMessageW(FHandle, PBM_SETPOS, static_cast<WPARAM>(FPosition), 0);
    }
}

void TProgressBar::ShowState() {
    if (FHandle == nullptr) {
        return;
    }
    // The style changes in place: the control stays where it is in the stacking order, behind the
    // buttons.
    const LONG_PTR Style = GetWindowLongPtrW(FHandle, GWL_STYLE);
    if (FStyle == TProgressBarStyle::Marquee) {
        if ((Style & PBS_MARQUEE) == 0) {
            SetWindowLongPtrW(FHandle, GWL_STYLE, Style | PBS_MARQUEE);
        }
        SendMessageW(FHandle, PBM_SETMARQUEE, TRUE, kMarqueeInterval);
    } else {
        if ((Style & PBS_MARQUEE) != 0) {
            SendMessageW(FHandle, PBM_SETMARQUEE, FALSE, 0);
            SetWindowLongPtrW(FHandle, GWL_STYLE, Style & ~LONG_PTR{PBS_MARQUEE});
        }
        SendMessageW(FHandle, PBM_SETPOS, static_cast<WPARAM>(FPosition), 0);
    }
    InvalidateRect(FHandle, nullptr, TRUE);
}

}  // namespace korvane
