// Fonts and brushes as owned handles.
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

// Throws when the system cannot make it.
TFont CreateFontOf(const TFontTemplate& AFont);
TBrush CreateBrushOf(COLORREF AColor);

}  // namespace korvane
