#include "download/ProgressDisplay.h"

#include <optional>
#include <utility>

#include "download/IdHTTPProgress.h"
#include "download/MainWindowView.h"
#include "texts/StatusTexts.h"

namespace korvane {

namespace {

// Progress below this is too little to be worth a real bar; the marquee stays.
constexpr int kFirstVisibleProgress = 5;

// The status line shown when the bar reaches a tenth of the transfer; 0 and 100 have none.
constexpr std::pair<int, TStatusText> kMilestones[] = {
    {10, TStatusText::sMsgAt10}, {20, TStatusText::sMsgAt20}, {30, TStatusText::sMsgAt30},
    {40, TStatusText::sMsgAt40}, {50, TStatusText::sMsgAt50}, {60, TStatusText::sMsgAt60},
    {70, TStatusText::sMsgAt70}, {80, TStatusText::sMsgAt80}, {90, TStatusText::sMsgAt90},
};

std::optional<TStatusText> MilestoneText(int APosition) {
    for (const auto& [position, text] : kMilestones) {
        if (position == APosition) {
            return text;
        }
    }
    return std::nullopt;
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
