// String-table ids of the fixed texts: 1 + the position of the key in TStatusText. Plain #defines,
// so that the resource script and the C++ code read the same numbers.
#pragma once

#define IDS_sSetupUrl 1
#define IDS_sSetupFileName 2
#define IDS_sSetupParameters 3
#define IDS_sCaptionDownloading 4
#define IDS_sMsgDownloadFailed 5
#define IDS_sMsgLaunchFailed 6
#define IDS_sBtnOtherLink 7
#define IDS_sBtnRetry 8
#define IDS_sCaptionFailed 9
#define IDS_sMsgDownloading 10
#define IDS_sMsgAt10 11
#define IDS_sMsgAt20 12
#define IDS_sMsgAt30 13
#define IDS_sMsgAt40 14
#define IDS_sMsgAt50 15
#define IDS_sMsgAt60 16
#define IDS_sMsgAt70 17
#define IDS_sMsgAt80 18
#define IDS_sMsgAt90 19
