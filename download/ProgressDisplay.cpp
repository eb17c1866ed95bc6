#include "download/ProgressDisplay.h"

#include <optional>

#include "download/IdHTTPProgress.h"
#include "download/MainWindowView.h"
#include "texts/StatusTexts.h"

namespace korvane {

namespace {

// Progress below this is too little to be worth a real bar; the marquee stays.
constexpr int kFirstVisibleProgress = 5;

// The status line shown when the bar reaches `APosition`, if any.
std::optional<TStatusText> MilestoneText(int APosition) {
    switch (APosition) {
        case 10:
            return TStatusText::sMsgAt10;
        case 20:
            return TStatusText::sMsgAt20;
        case 30:
            return TStatusText::sMsgAt30;
        case 40:
            return TStatusText::sMsgAt40;
        case 50:
            return TStatusText::sMsgAt50;
        case 60:
            return TStatusText::sMsgAt60;
        case 70:
            return TStatusText::sMsgAt70;
        case 80:
            return TStatusText::sMsgAt80;
        case 90:
            return TStatusText::sMsgAt90;
        default:
            return std::nullopt;
    }
}

}  // namespace

void ProgressChanged(IMainWindowView& AView, const TIdHTTPProgress& Sender) {
    const int progress = Sender.Progress();
    AView.SetProgressBarPosition(progress);
    if (progress >= kFirstVisibleProgress) {
        AView.SetProgressBarStyle(TProgressBarStyle::Normal);
    }
    // The milestone follows what the bar shows, which differs from `progress` on the notification
    // that leaves the marquee: the bar then shows the position it recorded when entering it.
    if (const auto text = MilestoneText(AView.ProgressBarPosition())) {
        AView.SetStatusText(LoadText(*text));
    }
    // The download blocks the only thread; this is where the window gets to breathe.
    AView.ProcessMessages();
}

}  // namespace korvane
