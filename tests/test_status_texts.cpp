#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "texts/StatusTexts.h"

namespace korvane {
namespace {

using namespace Qt::StringLiterals;

TEST(StatusTexts, EveryKeyHoldsItsTextCharacterForCharacter) {
    const QString host = QStringLiteral("127.0.0.1:") + QString::number(test::kDownloadPort);
    const std::pair<TStatusText, QString> table[] = {
        {TStatusText::sSetupUrl, u"https://"_s + host + u"/KorvaneSetup.exe"_s},
        {TStatusText::sSetupFileName, u"KorvaneSetup.exe"_s},
        {TStatusText::sSetupParameters, u"/LANG=fr"_s},
        {TStatusText::sCaptionDownloading,
         u"Téléchargement de Korvane en cours... Veuillez patienter."_s},
        {TStatusText::sMsgDownloadFailed,
         u"Impossible de télécharger Korvane, veuillez vérifier votre connexion"_s},
        {TStatusText::sMsgLaunchFailed, u"Impossible de lancer l'installation de l'application."_s},
        {TStatusText::sBtnOtherLink, u"Autre lien de téléchargement"_s},
        {TStatusText::sBtnRetry, u"Recommencer"_s},
        {TStatusText::sCaptionFailed, u"Téléchargement échoué !"_s},
        {TStatusText::sMsgDownloading, u"Téléchargement de Korvane en cours"_s},
        {TStatusText::sMsgAt10, u"Veuillez patienter"_s},
        {TStatusText::sMsgAt20, u"Téléchargement de Korvane en cours"_s},
        {TStatusText::sMsgAt30, u"Veuillez patienter"_s},
        {TStatusText::sMsgAt40, u"Téléchargement de Korvane en cours"_s},
        {TStatusText::sMsgAt50, u"Veuillez patienter, on a fait la moitiée !"_s},
        {TStatusText::sMsgAt60, u"Téléchargement de Korvane en cours"_s},
        {TStatusText::sMsgAt70, u"Veuillez patienter"_s},
        {TStatusText::sMsgAt80, u"Téléchargement de Korvane en cours"_s},
        {TStatusText::sMsgAt90, u"Veuillez patienter, on y est presque !"_s},
    };
    for (const auto& [key, text] : table) {
        EXPECT_EQ(LoadText(key), text) << static_cast<int>(key);
    }
}

}  // namespace
}  // namespace korvane
