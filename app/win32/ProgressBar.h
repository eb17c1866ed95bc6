// The download progress bar: a marquee while nothing is known, a percentage afterwards. Wraps the
// common-controls progress bar that the window made from its template.
#pragma once

#include <windows.h>

#include "download/ProgressBarState.h"

namespace korvane {

class TProgressBar {
public:
    // Milliseconds between two steps of the marquee block.
    static constexpr int kMarqueeInterval = 10;

    TProgressBar() = default;
    // Takes over `AHandle`, a progress bar in marquee style at position 0.
    explicit TProgressBar(HWND AHandle);

    HWND Handle() const { return FHandle; }

    TProgressBarStyle Style() const { return FState.Style(); }
    // As TProgressBarState::SetStyle.
    void SetStyle(TProgressBarStyle AStyle);

    int Position() const { return FState.Position(); }
    // Kept within 0..100.
    void SetPosition(int APosition);

private:
    void ShowState();

    HWND FHandle = nullptr;  // a child of the window, destroyed with it
    TProgressBarState FState;
};

}  // namespace korvane
