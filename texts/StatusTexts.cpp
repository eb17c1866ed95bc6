#include "texts/StatusTexts.h"

#include "BuildConfig.h"

namespace korvane {

using namespace Qt::StringLiterals;

QString LoadText(TStatusText AKey)
{
    switch (AKey) {
    case TStatusText::sSetupUrl:
        return u"https://"_s + QStringView(build_config::kDownloadHost).toString() +
               u"/KorvaneSetup.exe"_s;
    case TStatusText::sSetupFileName:
        return u"KorvaneSetup.exe"_s;
    case TStatusText::sSetupParameters:
        return u"/LANG=fr"_s;
    case TStatusText::sCaptionDownloading:
        return u"Téléchargement de Korvane en cours... Veuillez patienter."_s;
    case TStatusText::sMsgDownloadFailed:
        return u"Impossible de télécharger Korvane, veuillez vérifier votre connexion"_s;
    case TStatusText::sMsgLaunchFailed:
        return u"Impossible de lancer l'installation de l'application."_s;
    case TStatusText::sBtnOtherLink:
        return u"Autre lien de téléchargement"_s;
    case TStatusText::sBtnRetry:
        return u"Recommencer"_s;
    case TStatusText::sCaptionFailed:
        return u"Téléchargement échoué !"_s;
    case TStatusText::sMsgDownloading:
        return u"Téléchargement de Korvane en cours"_s;
    case TStatusText::sMsgAt10:
        return u"Veuillez patienter"_s;
    case TStatusText::sMsgAt20:
        return u"Téléchargement de Korvane en cours"_s;
    case TStatusText::sMsgAt30:
        return u"Veuillez patienter"_s;
    case TStatusText::sMsgAt40:
        return u"Téléchargement de Korvane en cours"_s;
    case TStatusText::sMsgAt50:
        return u"Veuillez patienter, on a fait la moitiée !"_s;
    case TStatusText::sMsgAt60:
        return u"Téléchargement de Korvane en cours"_s;
    case TStatusText::sMsgAt70:
        return u"Veuillez patienter"_s;
    case TStatusText::sMsgAt80:
        return u"Téléchargement de Korvane en cours"_s;
    case TStatusText::sMsgAt90:
        return u"Veuillez patienter, on y est presque !"_s;
    }
    return {};
}

}  // namespace korvane
