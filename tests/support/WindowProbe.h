// Reads the main window's state the way a user sees it: the status line and the buttons.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QString>

#include "app/qt/fmMain.h"

namespace korvane::test {

inline QString StatusLine(const TfrmMain& AWindow) {
    return AWindow.findChild<QLabel*>(QStringLiteral("labMessage"))->text();
}

inline bool ButtonShown(const TfrmMain& AWindow, const char* AName) {
    return !AWindow.findChild<QPushButton*>(QString::fromLatin1(AName))->isHidden();
}

// Both buttons up: one of the failure states.
inline bool ShowsFailure(const TfrmMain& AWindow) {
    return ButtonShown(AWindow, "btnRetry") && ButtonShown(AWindow, "btnDownloadLink");
}

}  // namespace korvane::test
