// The fixed texts as the executable's string table (resources/fmMain.rc), read at each use.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "texts/StatusTexts.h"

namespace korvane {

namespace {

// The entry of `AKey` in the string table, numbered as the resource script numbers it.
constexpr int TextId(TStatusText AKey) {
    switch (AKey) {
#define KORVANE_TEXT(id, key, text) \
    case TStatusText::key:          \
        return id;
#include "texts/StatusTexts.def"
#undef KORVANE_TEXT
    }
    return 0;
}

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
