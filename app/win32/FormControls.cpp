#include "FormControls.h"

#include <commctrl.h>

#include <cstddef>
#include <stdexcept>
#include <utility>

namespace korvane {

void TFormControls::Create(HWND AParent, std::span<const TControlTemplate> AControls) {
    for (const TControlTemplate& Control : AControls) {
        FControls.push_back({&Control, CreateControl(AParent, Control)});
    }
}

HWND TFormControls::CreateControl(HWND AParent, const TControlTemplate& AControl) {
    const HWND Handle =
        CreateWindowExW(0, AControl.ClassName, L"", AControl.Style, 0, 0, 0, 0, AParent,
                        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(AControl.Id)),
                        GetModuleHandleW(nullptr), nullptr);
    if (Handle == nullptr) {
        throw std::runtime_error("Cannot create a control of the main window");
    }
    // Each one behind those before it, whatever order the system gives new children.
    SetWindowPos(Handle, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return Handle;
}

void TFormControls::Layout(UINT ADpi, HFONT AParentFont) {
    // Every font first: should one fail, the controls keep drawing with the earlier ones.
    std::vector<TFont> Fonts;
    std::vector<HFONT> FontOfControl;
    for (const TControl& Control : FControls) {
        FontOfControl.push_back(
            Control.Template->Font
                ? Fonts.emplace_back(CreateFontOf(*Control.Template->Font, ADpi)).get()
                : AParentFont);
    }
    for (std::size_t Index = 0; Index < FControls.size(); ++Index) {
        const HWND Handle = FControls[Index].Handle;
        const TBounds Bounds = FControls[Index].Template->Bounds.Scaled(ADpi);
        SetWindowPos(Handle, nullptr, Bounds.Left, Bounds.Top, Bounds.Width, Bounds.Height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(Handle, WM_SETFONT, reinterpret_cast<WPARAM>(FontOfControl[Index]), TRUE);
    }
    // The earlier fonts go once no control draws with them.
    FFonts = std::move(Fonts);
}

HWND TFormControls::Find(std::u16string_view AName) const {
    for (const TControl& Control : FControls) {
        if (Control.Template->Name == AName) {
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
            return Control.Template->TextColor;
        }
    }
    return CLR_DEFAULT;
}

}  // namespace korvane
