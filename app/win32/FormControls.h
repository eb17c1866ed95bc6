// The controls of a window, made from its template, each with its font and in the template's
// stacking order; found by name, and by handle for the colour of their text.
#pragma once

#include <windows.h>

#include <span>
#include <string_view>
#include <vector>

#include "FormTemplate.h"
#include "GdiObjects.h"

namespace korvane {

class TFormControls {
public:
    // Creates `AControls` as children of `AParent`; those without a font of their own take
    // `AParentFont`, which must outlive them.
    void Create(HWND AParent, std::span<const TControlTemplate> AControls, HFONT AParentFont);

    // nullptr for none of that name.
    HWND Find(std::u16string_view AName) const;
    // Throws when there is none of that name.
    HWND Get(std::u16string_view AName) const;
    // CLR_DEFAULT for the system's, and for a window that is none of the controls.
    COLORREF TextColorOf(HWND AControl) const;

private:
    struct TControl {
        std::u16string_view Name;
        HWND Handle;
        COLORREF TextColor;
    };

    HWND CreateControl(HWND AParent, const TControlTemplate& AControl, HFONT AParentFont);

    // The fonts outlive the controls, which are destroyed with their parent window.
    std::vector<TFont> FFonts;
    std::vector<TControl> FControls;
};

}  // namespace korvane
