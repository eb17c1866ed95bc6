// ProgressChanged: the bar, the status line's milestones and the one message pump per
// notification, driven through the real client's notifications onto a real progress bar.

#include <initializer_list>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ProgramParts.h"
#include "app/qt/ProgressBar.h"
#include "download/IdHTTPProgress.h"
#include "download/MainWindowView.h"
#include "download/ProgressDisplay.h"
#include "texts/StatusTexts.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The window as far as the progress display sees it: a real bar, and a record of everything
// else that is done to it.
class TRecordingView : public IMainWindowView {
public:
    void SetTitle(std::u16string_view) override { FCalls.push_back("title"); }
    void SetStatusText(std::u16string_view AText) override {
        FCalls.push_back("status");
        FStatusTexts.push_back(ToUtf8(AText));
    }
    void SetProgressBarStyle(TProgressBarStyle AStyle) override {
        FCalls.push_back(AStyle == TProgressBarStyle::Marquee ? "marquee" : "normal");
        FBar.SetStyle(AStyle);
    }
    void SetProgressBarPosition(int APosition) override {
        FCalls.push_back("position " + std::to_string(APosition));
        FBar.SetPosition(APosition);
    }
    int ProgressBarPosition() const override { return FBar.Position(); }
    void SetRetryButtonVisible(bool) override { FCalls.push_back("retry"); }
    void SetDownloadLinkButtonVisible(bool) override { FCalls.push_back("link"); }
    void SetTimerArmed(bool) override { FCalls.push_back("timer"); }
    void CloseWindow() override { FCalls.push_back("close"); }
    void ProcessMessages() override {
        FCalls.push_back("pump");
        FShown.push_back(FBar.Position());
    }
    platform::TWindowHandle NativeHandle() const override { return {}; }

    TProgressBar& Bar() { return FBar; }
    const std::vector<std::string>& Calls() const { return FCalls; }
    const std::vector<std::string>& StatusTexts() const { return FStatusTexts; }
    // The bar's position at each pump, that is, what each notification showed.
    const std::vector<int>& Shown() const { return FShown; }
    void ClearRecords() {
        FCalls.clear();
        FStatusTexts.clear();
        FShown.clear();
    }

private:
    TProgressBar FBar;
    std::vector<std::string> FCalls;
    std::vector<std::string> FStatusTexts;
    std::vector<int> FShown;
};

class ProgressDisplay : public ::testing::Test {
protected:
    ProgressDisplay() {
        FClient.SetOnChange([this](TIdHTTPProgress& Sender) { ProgressChanged(FView, Sender); });
    }

    void Notify(std::initializer_list<int> AValues) {
        for (const int value : AValues) {
            FClient.SetProgress(value);
        }
    }

    TRecordingView FView;
    TIdHTTPProgress FClient{ProgramParts().Transport};
};

TEST_F(ProgressDisplay, OneNotificationDoesItsStepsInOrderAndPumpsLast) {
    Notify({10});
    EXPECT_THAT(FView.Calls(), ElementsAre("position 10", "normal", "pump"));
    FView.ClearRecords();

    Notify({50});
    EXPECT_THAT(FView.Calls(), ElementsAre("position 50", "normal", "status", "pump"));
    EXPECT_THAT(FView.StatusTexts(), ElementsAre("Veuillez patienter, on a fait la moitiée !"));
}

TEST_F(ProgressDisplay, BelowFivePercentTheMarqueeStays) {
    Notify({0, 1, 4, 0});
    EXPECT_EQ(FView.Bar().Style(), TProgressBarStyle::Marquee);
    EXPECT_THAT(FView.Shown(), ElementsAre(0, 1, 4, 0));
    EXPECT_THAT(FView.StatusTexts(), IsEmpty());

    Notify({5});
    EXPECT_EQ(FView.Bar().Style(), TProgressBarStyle::Normal);
}

TEST_F(ProgressDisplay, TheSwitchingNotificationShowsTheRecordedPosition) {
    // 10 leaves the marquee, whose recorded position 0 comes back: no milestone this time.
    Notify({3, 10});
    EXPECT_THAT(FView.Shown(), ElementsAre(3, 0));
    EXPECT_THAT(FView.StatusTexts(), IsEmpty());

    Notify({10, 12});
    EXPECT_THAT(FView.Shown(), ElementsAre(3, 0, 10, 12));
    EXPECT_THAT(FView.StatusTexts(), ElementsAre("Veuillez patienter"));
}

TEST_F(ProgressDisplay, AfterARetryTheSwitchShowsTheFullBarOnce) {
    // A failed run left the bar full in normal style; a retry puts it back into marquee at 0.
    Notify({5, 100});
    FView.Bar().SetStyle(TProgressBarStyle::Marquee);
    FView.Bar().SetPosition(0);
    FView.ClearRecords();

    Notify({0, 30, 40});
    EXPECT_THAT(FView.Shown(), ElementsAre(0, 100, 40));
    EXPECT_THAT(FView.StatusTexts(), ElementsAre("Téléchargement de Korvane en cours"));
}

TEST_F(ProgressDisplay, EachMilestoneShowsItsOwnText) {
    Notify({5});
    for (int value = 0; value <= 100; ++value) {
        Notify({value});
    }
    EXPECT_THAT(FView.StatusTexts(),
                ElementsAre("Veuillez patienter", "Téléchargement de Korvane en cours",
                            "Veuillez patienter", "Téléchargement de Korvane en cours",
                            "Veuillez patienter, on a fait la moitiée !",
                            "Téléchargement de Korvane en cours", "Veuillez patienter",
                            "Téléchargement de Korvane en cours",
                            "Veuillez patienter, on y est presque !"));
}

TEST_F(ProgressDisplay, SkippedMilestonesLeaveTheLineAsItWas) {
    Notify({5, 8, 23, 29});
    EXPECT_THAT(FView.StatusTexts(), IsEmpty());
}

TEST_F(ProgressDisplay, ARepeatedMilestoneSetsItsTextAgain) {
    Notify({5, 90, 90, 90});
    EXPECT_THAT(FView.StatusTexts(), ElementsAre("Veuillez patienter, on y est presque !",
                                                 "Veuillez patienter, on y est presque !",
                                                 "Veuillez patienter, on y est presque !"));
}

TEST_F(ProgressDisplay, PumpsOnceForEveryNotificationAndNeverEntersTheMarquee) {
    Notify({0, 3, 5, 10, 10, 50, 99, 100, 100, 0, 100});
    int pumps = 0;
    for (const std::string& call : FView.Calls()) {
        pumps += call == "pump" ? 1 : 0;
        EXPECT_NE(call, "marquee");
        EXPECT_NE(call, "title");
        EXPECT_NE(call, "close");
    }
    EXPECT_EQ(pumps, 11);
}

}  // namespace
}  // namespace korvane
