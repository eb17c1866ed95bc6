// A window and its controls described as data, in pixels at 100 % display scale (96 DPI). Not a
// dialog template: that counts in dialog units, which follow the font, and the font Verdana may be
// replaced by another one. At any other scale every size is the template's scaled by Scaled().
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string_view>

namespace korvane {

// `ASize`, in pixels at 96 DPI, at `ADpi`: to the nearest pixel, halves away from zero.
inline int Scaled(int ASize, UINT ADpi) {
    return MulDiv(ASize, static_cast<int>(ADpi), USER_DEFAULT_SCREEN_DPI);
}

struct TFontTemplate {
    const wchar_t* Face;
    int CharacterHeight;  // in pixels, without the leading
};

// In the parent's client area.
struct TBounds {
    int Left;
    int Top;
    int Width;
    int Height;

    TBounds Scaled(UINT ADpi) const {
        return {korvane::Scaled(Left, ADpi), korvane::Scaled(Top, ADpi),
                korvane::Scaled(Width, ADpi), korvane::Scaled(Height, ADpi)};
    }
};

struct TControlTemplate {
    std::u16string_view Name;
    const wchar_t* ClassName;
    int Id;
    DWORD Style;
    TBounds Bounds;
    std::optional<TFontTemplate> Font;  // nullopt: the window's
    COLORREF TextColor;                 // CLR_DEFAULT: the system's window-text colour
};

// The window is created hidden and untitled; its handlers show and title it.
struct TFormTemplate {
    DWORD ExStyle;
    DWORD Style;
    int ClientWidth;
    int ClientHeight;
    COLORREF Color;  // the background
    TFontTemplate Font;
    // From the front of the stacking order to the back. Windows moves the focus along that order.
    std::span<const TControlTemplate> Controls;
};

}  // namespace korvane
