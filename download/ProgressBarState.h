// The progress bar's rules, whatever toolkit draws it: the window shows what this state holds.
#pragma once

#include "download/MainWindowView.h"

namespace korvane {

class TProgressBarState {
public:
    static constexpr int kMinPosition = 0;
    static constexpr int kMaxPosition = 100;

    TProgressBarStyle Style() const { return FStyle; }
    // Setting the current style does nothing and returns false. Entering marquee records the
    // position; returning to normal puts the recorded position back, replacing any position set
    // meanwhile.
    bool SetStyle(TProgressBarStyle AStyle);

    int Position() const { return FPosition; }
    // Kept within 0..100.
    void SetPosition(int APosition);

private:
    TProgressBarStyle FStyle = TProgressBarStyle::Marquee;
    int FPosition = 0;
    int FRecordedPosition = 0;
};

}  // namespace korvane
