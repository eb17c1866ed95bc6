// What the download run and the progress display may do with the main window. The run is written
// against this interface only, so it holds no knowledge of widgets.
#pragma once

#include <string_view>

#include "platform/Platform.h"

namespace korvane {

enum class TProgressBarStyle {
    Marquee,  // a block moving on its own, no value shown
    Normal,   // filled up to the position
};

class IMainWindowView {
public:
    virtual ~IMainWindowView() = default;

    virtual void SetTitle(std::u16string_view ATitle) = 0;
    virtual void SetStatusText(std::u16string_view AText) = 0;

    // Setting the style the bar already has does nothing. Entering marquee records the position;
    // returning to normal restores the recorded position.
    virtual void SetProgressBarStyle(TProgressBarStyle AStyle) = 0;
    // Positions outside 0..100 are kept within that range.
    virtual void SetProgressBarPosition(int APosition) = 0;
    virtual int ProgressBarPosition() const = 0;

    // Shown, the retry button takes the keyboard focus: pressing it is what the user does next.
    virtual void SetRetryButtonVisible(bool AVisible) = 0;
    virtual void SetDownloadLinkButtonVisible(bool AVisible) = 0;

    // Arming an armed timer or disarming a disarmed one does nothing.
    virtual void SetTimerArmed(bool AArmed) = 0;

    // Closes the window, which ends the program once the running handler returns.
    virtual void CloseWindow() = 0;

    // Handles every message waiting for the window, then returns.
    virtual void ProcessMessages() = 0;

    // The window as the system knows it, the owner of the programs that the run starts.
    virtual platform::TWindowHandle NativeHandle() const = 0;
};

}  // namespace korvane
