// The download progress bar: a marquee while nothing is known, a percentage afterwards.
#pragma once

#include <QProgressBar>

#include <optional>

#include "download/ProgressBarState.h"

namespace korvane {

class TProgressBar : public QProgressBar {
    Q_OBJECT

public:
    explicit TProgressBar(QWidget* AParent = nullptr);

    TProgressBarStyle Style() const { return FState.Style(); }
    // As TProgressBarState::SetStyle.
    void SetStyle(TProgressBarStyle AStyle);

    int Position() const { return FState.Position(); }
    // Kept within 0..100.
    void SetPosition(int APosition);

private:
    void ShowState();
    // Moves the bar to a new percentage, repainting what the move changes.
    void ShowPosition(int APosition);
    // The part of the bar that differs between two percentages, when the style's drawing is known.
    std::optional<QRect> ChangedStretch(int AFrom, int ATo) const;

    TProgressBarState FState;
};

}  // namespace korvane
