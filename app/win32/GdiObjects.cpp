#include "GdiObjects.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace korvane {

TFont CreateFontOf(const TFontTemplate& AFont, UINT ADpi) {
    LOGFONTW Font{};
    // Negative: the character height, without the leading.
    Font.lfHeight = -Scaled(AFont.CharacterHeight, ADpi);
    Font.lfWeight = FW_NORMAL;
    Font.lfCharSet = DEFAULT_CHARSET;
    Font.lfQuality = DEFAULT_QUALITY;
    const std::wstring_view Face(AFont.Face);
    const std::size_t Length = std::min(Face.size(), std::size(Font.lfFaceName) - 1);
    std::copy_n(Face.begin(), Length, Font.lfFaceName);
    TFont Handle(CreateFontIndirectW(&Font));
    if (!Handle) {
        throw std::runtime_error("Cannot create a font");
    }
    return Handle;
}

TBrush CreateBrushOf(COLORREF AColor) {
    TBrush Handle(CreateSolidBrush(AColor));
    if (!Handle) {
        throw std::runtime_error("Cannot create a brush");
    }
    return Handle;
}

TIcon LoadIconOfSize(const wchar_t* AName, int ASize) {
    // Not shared: the system's cache of shared icons is meant for the standard sizes only.
    return TIcon(static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), AName, IMAGE_ICON, ASize, ASize, 0)));
}

}  // namespace korvane
