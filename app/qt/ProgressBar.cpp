#include "ProgressBar.h"

#include <QStyle>
#include <QStyleOptionProgressBar>

#include <algorithm>
#include <cstring>

namespace korvane {

namespace {

// Fusion fills the bar with a gradient from top to bottom and draws the fill's end, its shadow and
// its highlight within three pixels of where the fill ends: those are the only pixels a new
// percentage changes.
constexpr int kFillEndReach = 4;

}  // namespace

TProgressBar::TProgressBar(QWidget* AParent) : QProgressBar(AParent) {
    ShowState();
}

void TProgressBar::SetStyle(TProgressBarStyle AStyle) {
    if (FState.SetStyle(AStyle)) {
        ShowState();
    }
}

void TProgressBar::SetPosition(int APosition) {
    // QProgressBar ignores values outside its range instead of clamping them, and has no range at
    // all in busy mode, so the position lives in the state.
    FState.SetPosition(APosition);
    ShowState();
}

void TProgressBar::ShowState() {
    if (FState.Style() == TProgressBarStyle::Marquee) {
        // An empty range is QProgressBar's busy indicator.
        setRange(0, 0);
    } else if (minimum() != TProgressBarState::kMinPosition ||
               maximum() != TProgressBarState::kMaxPosition) {
        // A new range repaints the whole bar anyway.
        setRange(TProgressBarState::kMinPosition, TProgressBarState::kMaxPosition);
        setValue(FState.Position());
    } else {
        ShowPosition(FState.Position());
    }
}

void TProgressBar::ShowPosition(int APosition) {
    const int previous = value();
    if (APosition == previous) {
        return;
    }
    const std::optional<QRect> changed = ChangedStretch(previous, APosition);
    if (!changed || !updatesEnabled()) {
        setValue(APosition);
        return;
    }
    // QProgressBar repaints all of itself for a new value: with Fusion's stroked and blended shapes
    // a quarter of a millisecond, a hundred times a download. The stretch the fill's end moved over
    // costs a fifth of that. Updates stay off while the bar takes the value, so that it paints
    // nothing itself.
    setAttribute(Qt::WA_UpdatesDisabled);
    setValue(APosition);
    setAttribute(Qt::WA_UpdatesDisabled, false);
    repaint(*changed);
}

std::optional<QRect> TProgressBar::ChangedStretch(int AFrom, int ATo) const {
    // Only Fusion's drawing is known here, and only of a bar that fills from the left.
    if (std::strcmp(style()->metaObject()->className(), "QFusionStyle") != 0 ||
        orientation() != Qt::Horizontal || invertedAppearance() ||
        layoutDirection() != Qt::LeftToRight) {
        return std::nullopt;
    }
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_ProgressBarContents, &option, this);
    const qint64 steps = std::max<qint64>(1, qint64{maximum()} - minimum());
    // Where the fill ends for a value, as Fusion computes it.
    const auto fillEnd = [&](int AValue) {
        const qint64 done = qint64{std::max(AValue, minimum())} - minimum();
        return contents.left() + static_cast<int>(done * contents.width() / steps);
    };
    const int left = std::min(fillEnd(AFrom), fillEnd(ATo)) - kFillEndReach;
    const int right = std::max(fillEnd(AFrom), fillEnd(ATo)) + kFillEndReach;
    return QRect(QPoint(left, 0), QPoint(right, height() - 1)) & rect();
}

}  // namespace korvane
