// windows.h first: the other system headers build on it; initguid.h makes this file define the
// GUIDs that oleacc.h declares.
#include <windows.h>

#include <initguid.h>

#include "AccessibleAnnotations.h"

#include <algorithm>
#include <string>

#include "platform/WindowsText.h"

namespace korvane {

namespace {

// UI Automation's LiveSetting property, which MSAA annotations carry to UI Automation clients;
// the headers of the cross build do not declare it.
DEFINE_GUID(kLiveSettingProperty, 0xc12bcd8e, 0x2a8e, 0x4950, 0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d,
            0x58, 0xeb);
constexpr LONG kPolite = 1;  // LiveSetting's Polite

}  // namespace

TAccessibleAnnotations::TAccessibleAnnotations() {
    IAccPropServices* Services = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IAccPropServices, reinterpret_cast<void**>(&Services)))) {
        FServices.reset(Services);
    }
}

TAccessibleAnnotations::~TAccessibleAnnotations() {
    if (!FServices) {
        return;
    }
    for (TAnnotation& Annotation : FAnnotations) {
        FServices->ClearHwndProps(Annotation.Control, static_cast<DWORD>(OBJID_CLIENT),
                                  CHILDID_SELF, &Annotation.Property, 1);
    }
}

void TAccessibleAnnotations::SetName(HWND AControl, std::u16string_view AName) {
    if (!FServices) {
        return;
    }
    if (SUCCEEDED(FServices->SetHwndPropStr(AControl, static_cast<DWORD>(OBJID_CLIENT),
                                            CHILDID_SELF, PROPID_ACC_NAME,
                                            platform::AsWide(std::u16string(AName))))) {
        Remember(AControl, PROPID_ACC_NAME);
    }
}

void TAccessibleAnnotations::MakeLiveRegion(HWND AControl) {
    if (!FServices) {
        return;
    }
    VARIANT Setting{};
    Setting.vt = VT_I4;
    Setting.lVal = kPolite;
    if (SUCCEEDED(FServices->SetHwndProp(AControl, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                         kLiveSettingProperty, Setting))) {
        Remember(AControl, kLiveSettingProperty);
    }
}

void TAccessibleAnnotations::LiveRegionChanged(HWND AControl) {
    NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, AControl, OBJID_CLIENT, CHILDID_SELF);
}

void TAccessibleAnnotations::Remember(HWND AControl, const MSAAPROPID& AProperty) {
    const bool Known =
        std::any_of(FAnnotations.begin(), FAnnotations.end(), [&](const TAnnotation& A) {
            return A.Control == AControl && IsEqualGUID(A.Property, AProperty);
        });
    if (!Known) {
        FAnnotations.push_back({AControl, AProperty});
    }
}

}  // namespace korvane
