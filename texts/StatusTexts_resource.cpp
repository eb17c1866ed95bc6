// The fixed texts as the executable's string table (resources/fmMain.rc), read at each use.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "texts/StatusTextIds.h"
#include "texts/StatusTexts.h"

namespace korvane {

namespace {

constexpr int TextId(TStatusText AKey) {
    return 1 + static_cast<int>(AKey);
}

// The resource script numbers its entries by hand; these keep it in step with the keys.
static_assert(TextId(TStatusText::sSetupUrl) == IDS_sSetupUrl);
static_assert(TextId(TStatusText::sSetupFileName) == IDS_sSetupFileName);
static_assert(TextId(TStatusText::sSetupParameters) == IDS_sSetupParameters);
static_assert(TextId(TStatusText::sCaptionDownloading) == IDS_sCaptionDownloading);
static_assert(TextId(TStatusText::sMsgDownloadFailed) == IDS_sMsgDownloadFailed);
static_assert(TextId(TStatusText::sMsgLaunchFailed) == IDS_sMsgLaunchFailed);
static_assert(TextId(TStatusText::sBtnOtherLink) == IDS_sBtnOtherLink);
static_assert(TextId(TStatusText::sBtnRetry) == IDS_sBtnRetry);
static_assert(TextId(TStatusText::sCaptionFailed) == IDS_sCaptionFailed);
static_assert(TextId(TStatusText::sMsgDownloading) == IDS_sMsgDownloading);
static_assert(TextId(TStatusText::sMsgAt10) == IDS_sMsgAt10);
static_assert(TextId(TStatusText::sMsgAt20) == IDS_sMsgAt20);
static_assert(TextId(TStatusText::sMsgAt30) == IDS_sMsgAt30);
static_assert(TextId(TStatusText::sMsgAt40) == IDS_sMsgAt40);
static_assert(TextId(TStatusText::sMsgAt50) == IDS_sMsgAt50);
static_assert(TextId(TStatusText::sMsgAt60) == IDS_sMsgAt60);
static_assert(TextId(TStatusText::sMsgAt70) == IDS_sMsgAt70);
static_assert(TextId(TStatusText::sMsgAt80) == IDS_sMsgAt80);
static_assert(TextId(TStatusText::sMsgAt90) == IDS_sMsgAt90);

}  // namespace

std::u16string LoadText(TStatusText AKey) {
    // With no buffer, LoadStringW hands out a read-only pointer into the loaded resource itself;
    // the entries carry no terminator, only their length.
    const wchar_t* Text = nullptr;
    const int Length =
        LoadStringW(GetModuleHandleW(nullptr), TextId(AKey), reinterpret_cast<LPWSTR>(&Text), 0);
    if (Length <= 0 || Text == nullptr) {
        throw std::logic_error("The string table has no text " + std::to_string(TextId(AKey)));
    }
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return std::u16string(reinterpret_cast<const char16_t*>(Text),
                          static_cast<std::size_t>(Length));
}

}  // namespace korvane
