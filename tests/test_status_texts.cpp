// The text table, as the executable carries it: compiled in on Linux, the string-table resource on
// Windows.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "texts/StatusTexts.h"

namespace korvane {
namespace {

TEST(StatusTexts, EveryKeyHoldsItsTextCharacterForCharacter) {
    const std::pair<TStatusText, std::u16string> table[] = {
        {TStatusText::sSetupUrl, u"https://" KORVANE_TEST_DOWNLOAD_HOST u"/KorvaneSetup.exe"},
        {TStatusText::sSetupFileName, u"KorvaneSetup.exe"},
        {TStatusText::sSetupParameters, u"/LANG=fr"},
        {TStatusText::sCaptionDownloading,
         u"T\u00e9l\u00e9chargement de Korvane en cours... Veuillez patienter."},
        {TStatusText::sMsgDownloadFailed,
         u"Impossible de t\u00e9l\u00e9charger Korvane, veuillez v\u00e9rifier votre connexion"},
        {TStatusText::sMsgLaunchFailed, u"Impossible de lancer l'installation de l'application."},
        {TStatusText::sBtnOtherLink, u"Autre lien de t\u00e9l\u00e9chargement"},
        {TStatusText::sBtnRetry, u"Recommencer"},
        {TStatusText::sCaptionFailed, u"T\u00e9l\u00e9chargement \u00e9chou\u00e9 !"},
        {TStatusText::sMsgDownloading, u"T\u00e9l\u00e9chargement de Korvane en cours"},
        {TStatusText::sMsgAt10, u"Veuillez patienter"},
        {TStatusText::sMsgAt20, u"T\u00e9l\u00e9chargement de Korvane en cours"},
        {TStatusText::sMsgAt30, u"Veuillez patienter"},
        {TStatusText::sMsgAt40, u"T\u00e9l\u00e9chargement de Korvane en cours"},
        {TStatusText::sMsgAt50, u"Veuillez patienter, on a fait la moiti\u00e9e !"},
        {TStatusText::sMsgAt60, u"T\u00e9l\u00e9chargement de Korvane en cours"},
        {TStatusText::sMsgAt70, u"Veuillez patienter"},
        {TStatusText::sMsgAt80, u"T\u00e9l\u00e9chargement de Korvane en cours"},
        {TStatusText::sMsgAt90, u"Veuillez patienter, on y est presque !"},
    };
    for (const auto& [key, text] : table) {
        const std::u16string loaded = LoadText(key);
        EXPECT_TRUE(loaded == text) << static_cast<int>(key) << ": " << ToUtf8(loaded);
    }
}

TEST(StatusTexts, TextsGoToUtf8CodePointByCodePoint) {
    EXPECT_EQ(ToUtf8(u"https://h/x"), "https://h/x");
    EXPECT_EQ(ToUtf8(u"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(ToUtf8(u"\u20ac"), "\xE2\x82\xAC");
    EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");  // a surrogate pair
    // A surrogate without its partner is no character.
    EXPECT_EQ(ToUtf8(std::u16string(1, u'\xD83D') + u"a"),
              "\xEF\xBF\xBD"
              "a");
    EXPECT_EQ(ToUtf8(std::u16string(1, u'\xDE00')), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace korvane
