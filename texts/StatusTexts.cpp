// The text table compiled into the program, for systems without string-table resources.
#include "texts/StatusTexts.h"

#include "BuildConfig.h"

namespace korvane {

std::u16string LoadText(TStatusText AKey) {
    switch (AKey) {
        case TStatusText::sSetupUrl:
            return u"https://" + std::u16string(build_config::kDownloadHost) + u"/KorvaneSetup.exe";
        case TStatusText::sSetupFileName:
            return u"KorvaneSetup.exe";
        case TStatusText::sSetupParameters:
            return u"/LANG=fr";
        case TStatusText::sCaptionDownloading:
            return u"Téléchargement de Korvane en cours... Veuillez patienter.";
        case TStatusText::sMsgDownloadFailed:
            return u"Impossible de télécharger Korvane, veuillez vérifier votre connexion";
        case TStatusText::sMsgLaunchFailed:
            return u"Impossible de lancer l'installation de l'application.";
        case TStatusText::sBtnOtherLink:
            return u"Autre lien de téléchargement";
        case TStatusText::sBtnRetry:
            return u"Recommencer";
        case TStatusText::sCaptionFailed:
            return u"Téléchargement échoué !";
        case TStatusText::sMsgDownloading:
            return u"Téléchargement de Korvane en cours";
        case TStatusText::sMsgAt10:
            return u"Veuillez patienter";
        case TStatusText::sMsgAt20:
            return u"Téléchargement de Korvane en cours";
        case TStatusText::sMsgAt30:
            return u"Veuillez patienter";
        case TStatusText::sMsgAt40:
            return u"Téléchargement de Korvane en cours";
        case TStatusText::sMsgAt50:
            return u"Veuillez patienter, on a fait la moitiée !";
        case TStatusText::sMsgAt60:
            return u"Téléchargement de Korvane en cours";
        case TStatusText::sMsgAt70:
            return u"Veuillez patienter";
        case TStatusText::sMsgAt80:
            return u"Téléchargement de Korvane en cours";
        case TStatusText::sMsgAt90:
            return u"Veuillez patienter, on y est presque !";
    }
    return {};
}

}  // namespace korvane
