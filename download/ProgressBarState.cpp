#include "download/ProgressBarState.h"

#include <algorithm>

namespace korvane {

bool TProgressBarState::SetStyle(TProgressBarStyle AStyle) {
    if (AStyle == FStyle) {
        return false;
    }
    if (AStyle == TProgressBarStyle::Marquee) {
        FRecordedPosition = FPosition;
    } else {
        FPosition = FRecordedPosition;
    }
    FStyle = AStyle;
    return true;
}

void TProgressBarState::SetPosition(int APosition) {
    FPosition = std::clamp(APosition, kMinPosition, kMaxPosition);
}

}  // namespace korvane
