#include <cstdint>

#include "texts/StatusTexts.h"

namespace korvane {

namespace {

bool IsHighSurrogate(char16_t AUnit) {
    return AUnit >= 0xD800 && AUnit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t AUnit) {
    return AUnit >= 0xDC00 && AUnit <= 0xDFFF;
}

void AppendUtf8(std::string& AOut, std::uint32_t ACodePoint) {
    const auto byte = [&](std::uint32_t AValue) { AOut.push_back(static_cast<char>(AValue)); };
    if (ACodePoint < 0x80) {
        byte(ACodePoint);
    } else if (ACodePoint < 0x800) {
        byte(0xC0 | (ACodePoint >> 6));
        byte(0x80 | (ACodePoint & 0x3F));
    } else if (ACodePoint < 0x10000) {
        byte(0xE0 | (ACodePoint >> 12));
        byte(0x80 | ((ACodePoint >> 6) & 0x3F));
        byte(0x80 | (ACodePoint & 0x3F));
    } else {
        byte(0xF0 | (ACodePoint >> 18));
        byte(0x80 | ((ACodePoint >> 12) & 0x3F));
        byte(0x80 | ((ACodePoint >> 6) & 0x3F));
        byte(0x80 | (ACodePoint & 0x3F));
    }
}

}  // namespace

std::string ToUtf8(std::u16string_view AText) {
    constexpr std::uint32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(AText.size());
    for (std::size_t i = 0; i < AText.size(); ++i) {
        const char16_t unit = AText[i];
        if (IsHighSurrogate(unit) && i + 1 < AText.size() && IsLowSurrogate(AText[i + 1])) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800u) << 10) + (AText[++i] - 0xDC00u));
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace korvane
