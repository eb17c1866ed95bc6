// What screen readers are told of the main window's widgets: the window is a frame named with its
// title, the bar a progress bar with its value or busy, the status line a notification that is
// read out each time it changes. Installed with Qt's accessibility, for as long as it lives.
#pragma once

namespace korvane {

class TAccessibleInterfaces {
public:
    TAccessibleInterfaces();
    TAccessibleInterfaces(const TAccessibleInterfaces&) = delete;
    TAccessibleInterfaces& operator=(const TAccessibleInterfaces&) = delete;
    ~TAccessibleInterfaces();
};

}  // namespace korvane
