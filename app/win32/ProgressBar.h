// The download progress bar: a marquee while nothing is known, a percentage afterwards. Wraps the
// common-controls progress bar that the window made from its template.
#pragma once

#include <windows.h>

#include "download/MainWindowView.h"

namespace korvane {

class TProgressBar {
public:
    static constexpr int kMinPosition = 0;
    static constexpr int kMaxPosition = 100;
    // Milliseconds between two steps of the marquee block.
    static constexpr int kMarqueeInterval = 10;

    TProgressBar() = default;
    // Takes over `AHandle`, a progress bar in marquee style at position 0.
    explicit TProgressBar(HWND AHandle);

    HWND Handle() const { return FHandle; }

    TProgressBarStyle Style() const { return FStyle; }
    // Setting the current style does nothing. Entering marquee records the position; returning to
    // normal puts the recorded position back, replacing any position set meanwhile.
    void SetStyle(TProgressBarStyle AStyle);

    int Position() const { return FPosition; }
    // Kept within 0..100.
    void SetPosition(int APosition);

private:
    void ShowState();

    HWND FHandle = nullptr;  // a child of the window, destroyed with it
    TProgressBarStyle FStyle = TProgressBarStyle::Marquee;
    int FPosition = 0;
    int FRecordedPosition = 0;
};

}  // namespace korvane
