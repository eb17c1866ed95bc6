// The text table compiled into the program, for systems without string-table resources.
#include "texts/StatusTexts.h"

#include "DownloadHost.h"

namespace korvane {

std::u16string LoadText(TStatusText AKey) {
    // A key missing from the table is a -Wswitch warning, and so an error in warning-free builds.
    switch (AKey) {
#define KORVANE_TEXT(id, key, text) \
    case TStatusText::key:          \
        return u"" text;
#include "texts/StatusTexts.def"
#undef KORVANE_TEXT
    }
    return {};
}

}  // namespace korvane
