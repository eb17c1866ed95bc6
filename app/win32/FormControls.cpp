#include "FormControls.h"

#include <commctrl.h>

#include <stdexcept>

namespace korvane {

void TFormControls::Create(HWND AParent, std::span<const TControlTemplate> AControls,
                           HFONT AParentFont) {
    for (const TControlTemplate& Control : AControls) {
        const HWND Handle = CreateControl(AParent, Control, AParentFont);
        FControls.push_back({Control.Name, Handle, Control.TextColor});
    }
}

HWND TFormControls::CreateControl(HWND AParent, const TControlTemplate& AControl,
                                  HFONT AParentFont) {
    HFONT Font = AParentFont;
    if (AControl.Font) {
        Font = FFonts.emplace_back(CreateFontOf(*AControl.Font)).get();
    }
    const TBounds& Bounds = AControl.Bounds;
    const HWND Handle = CreateWindowExW(0, AControl.ClassName, L"", AControl.Style, Bounds.Left,
                                        Bounds.Top, Bounds.Width, Bounds.Height, AParent,
                                        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(AControl.Id)),
                                        GetModuleHandleW(nullptr), nullptr);
    if (Handle == nullptr) {
        throw std::runtime_error("Cannot create a control of the main window");
    }
    // Each one behind those before it, whatever order the system gives new children.
    SetWindowPos(Handle, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SendMessageW(Handle, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
    return Handle;
}

HWND TFormControls::Find(std::u16string_view AName) const {
    for (const TControl& Control : FControls) {
        if (Control.Name == AName) {
            return Control.Handle;
        }
    }
    return nullptr;
}

HWND TFormControls::Get(std::u16string_view AName) const {
    const HWND Found = Find(AName);
    if (Found == nullptr) {
        throw std::runtime_error("The window template lacks a control");
    }
    return Found;
}

COLORREF TFormControls::TextColorOf(HWND AControl) const {
    for (const TControl& Control : FControls) {
        if (Control.Handle == AControl) {
            return Control.TextColor;
        }
    }
    return CLR_DEFAULT;
}

}  // namespace korvane
