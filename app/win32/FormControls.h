// The controls of a window, made from its template in the template's stacking order, laid out and
// given their fonts for the window's DPI; found by name, and by handle for the colour of their
// text.
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
    // Creates `AControls` as children of `AParent`, without size or font until Layout.
    void Create(HWND AParent, std::span<const TControlTemplate> AControls);
    // Places and sizes the controls and makes their fonts for `ADpi`. Those without a font of
    // their own take `AParentFont`, which must outlive them.
    void Layout(UINT ADpi, HFONT AParentFont);

    // nullptr for none of that name.
    HWND Find(std::u16string_view AName) const;
    // Throws when there is none of that name.
    HWND Get(std::u16string_view AName) const;
    // CLR_DEFAULT for the system's, and for a window that is none of the controls.
    COLORREF TextColorOf(HWND AControl) const;

private:
    struct TControl {
        const TControlTemplate* Template;
        HWND Handle;
    };

    static HWND CreateControl(HWND AParent, const TControlTemplate& AControl);

    // The fonts outlive the controls, which are destroyed with their parent window.
    std::vector<TFont> FFonts;
    std::vector<TControl> FControls;
};

}  // namespace korvane
