// The main window: a red strip with the progress bar on top and the status line below it; the two
// buttons of the failed state lie in front of them, hidden until then. The window's handlers give
// the texts: FormCreate captions the buttons.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include "FormTemplate.h"

namespace korvane {

inline constexpr TFontTemplate kSmallVerdana{L"Verdana", 12};

inline constexpr TControlTemplate kfrmMainControls[] = {
    // From the progress bar on, Tab visits btnDownloadLink, then btnRetry.
    {.Name = u"btnDownloadLink",
     .ClassName = WC_BUTTONW,
     .Id = 101,
     .Style = WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | BS_PUSHBUTTON,
     .Bounds = {485, 29, 201, 25},  // over the status line's right end
     .Font = kSmallVerdana,
     .TextColor = CLR_DEFAULT},
    {.Name = u"btnRetry",
     .ClassName = WC_BUTTONW,
     .Id = 102,
     .Style = WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | BS_PUSHBUTTON,
     .Bounds = {0, 0, 694, 25},  // over the bar but for its bottom 2 pixels
     .Font = std::nullopt,
     .TextColor = CLR_DEFAULT},
    {.Name = u"labMessage",
     .ClassName = WC_STATICW,
     .Id = 103,
     .Style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_LEFTNOWORDWRAP | SS_NOPREFIX,
     .Bounds = {3, 32, 686, 21},  // what the bar leaves, inset by 3, 5, 5 and 3
     .Font = kSmallVerdana,
     .TextColor = RGB(255, 255, 255)},
    {.Name = u"ProgressBar",
     .ClassName = PROGRESS_CLASSW,
     .Id = 104,
     .Style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | PBS_MARQUEE,
     .Bounds = {0, 0, 694, 27},  // the top edge at full width
     .Font = std::nullopt,
     .TextColor = CLR_DEFAULT},
};

// A tool window (narrow caption, close box only) that keeps its own taskbar button and stays on
// top; Tab moves between its buttons.
inline constexpr TFormTemplate kfrmMainTemplate{
    .ExStyle = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW | WS_EX_TOPMOST | WS_EX_CONTROLPARENT,
    .Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN,
    .ClientWidth = 694,
    .ClientHeight = 56,
    .Color = RGB(255, 0, 0),
    .Font = {L"Verdana", 16},
    .Controls = kfrmMainControls,
};

}  // namespace korvane
