// A window and its controls described as data, in pixels. Not a dialog template: that counts in
// dialog units, which follow the font, and the font Verdana may be replaced by another one; the
// program is not aware of the display's resolution, so pixels are what it works with.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string_view>

namespace korvane {

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
