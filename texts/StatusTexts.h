// The fixed texts of the program: everything the window shows, the download address, the file name
// and the setup program's parameters. Each text is looked up where it is used.
#pragma once

#include <QString>

namespace korvane {

// Keys in the order the program declares its texts. Keys whose texts read the same stay separate
// entries, so that one place can change without touching the others.
enum class TStatusText {
    sSetupUrl,
    sSetupFileName,
    sSetupParameters,
    sCaptionDownloading,
    sMsgDownloadFailed,
    sMsgLaunchFailed,
    sBtnOtherLink,
    sBtnRetry,
    sCaptionFailed,
    sMsgDownloading,
    sMsgAt10,
    sMsgAt20,
    sMsgAt30,
    sMsgAt40,
    sMsgAt50,
    sMsgAt60,
    sMsgAt70,
    sMsgAt80,
    sMsgAt90,
};

// A new copy of the text stored under `AKey`.
QString LoadText(TStatusText AKey);

}  // namespace korvane
