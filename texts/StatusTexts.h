// The fixed texts of the program: everything the window shows, the download address, the file name
// and the setup program's parameters. Each text is looked up where it is used.
#pragma once

#include <string>
#include <string_view>

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
std::u16string LoadText(TStatusText AKey);

// `AText` in UTF-8, for the libraries that take addresses that way. A lone surrogate becomes
// U+FFFD.
std::string ToUtf8(std::u16string_view AText);

}  // namespace korvane
