// The download progress bar: a marquee while nothing is known, a percentage afterwards.
#pragma once

#include <QProgressBar>

#include "download/MainWindowView.h"

namespace korvane {

class TProgressBar : public QProgressBar {
    Q_OBJECT

public:
    static constexpr int kMinPosition = 0;
    static constexpr int kMaxPosition = 100;

    explicit TProgressBar(QWidget* AParent = nullptr);

    TProgressBarStyle Style() const { return FStyle; }
    // Setting the current style does nothing. Entering marquee records the position; returning to
    // normal puts the recorded position back, replacing any position set meanwhile.
    void SetStyle(TProgressBarStyle AStyle);

    int Position() const { return FPosition; }
    // Kept within 0..100.
    void SetPosition(int APosition);

private:
    void ShowState();

    TProgressBarStyle FStyle = TProgressBarStyle::Marquee;
    int FPosition = 0;
    int FRecordedPosition = 0;
};

}  // namespace korvane
