// Fonts, brushes and icons as owned handles.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

#include "FormTemplate.h"

namespace korvane {

struct TGdiObjectDeleter {
    void operator()(HGDIOBJ AObject) const { DeleteObject(AObject); }
};
using TFont = std::unique_ptr<std::remove_pointer_t<HFONT>, TGdiObjectDeleter>;
using TBrush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, TGdiObjectDeleter>;

struct TIconDeleter {
    void operator()(HICON AIcon) const { DestroyIcon(AIcon); }
};
using TIcon = std::unique_ptr<std::remove_pointer_t<HICON>, TIconDeleter>;

// Throws when the system cannot make it. The font's height is the template's at `ADpi`.
TFont CreateFontOf(const TFontTemplate& AFont, UINT ADpi);
TBrush CreateBrushOf(COLORREF AColor);
// The program's icon resource `AName` in its image nearest to `ASize` pixels square; empty when
// there is none.
TIcon LoadIconOfSize(const wchar_t* AName, int ASize);

}  // namespace korvane
