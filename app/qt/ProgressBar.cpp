#include "ProgressBar.h"

#include <algorithm>

namespace korvane {

TProgressBar::TProgressBar(QWidget* AParent) : QProgressBar(AParent) {
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
    // QProgressBar ignores values outside its range instead of clamping them, and has no range at
    // all in busy mode, so the position lives here.
    FPosition = std::clamp(APosition, kMinPosition, kMaxPosition);
    ShowState();
}

void TProgressBar::ShowState() {
    if (FStyle == TProgressBarStyle::Marquee) {
        // An empty range is QProgressBar's busy indicator.
        setRange(0, 0);
    } else {
        setRange(kMinPosition, kMaxPosition);
        setValue(FPosition);
    }
}

}  // namespace korvane
