#include "ProgressBar.h"

namespace korvane {

TProgressBar::TProgressBar(QWidget* AParent) : QProgressBar(AParent) {
    ShowState();
}

void TProgressBar::SetStyle(TProgressBarStyle AStyle) {
    if (FState.SetStyle(AStyle)) {
        ShowState();
    }
}

void TProgressBar::SetPosition(int APosition) {
    // QProgressBar ignores values outside its range instead of clamping them, and has no range at
    // all in busy mode, so the position lives in the state.
    FState.SetPosition(APosition);
    ShowState();
}

void TProgressBar::ShowState() {
    if (FState.Style() == TProgressBarStyle::Marquee) {
        // An empty range is QProgressBar's busy indicator.
        setRange(0, 0);
    } else {
        setRange(TProgressBarState::kMinPosition, TProgressBarState::kMaxPosition);
        setValue(FState.Position());
    }
}

}  // namespace korvane
