// What assistive technologies are told beyond what the controls' own classes tell them: a name
// for a control that shows no text, and that a control is a live region, whose new text is read
// out without the focus going there. Annotations last until this object goes, or its window.
#pragma once

#include <windows.h>

#include <oleacc.h>

#include <memory>
#include <string_view>
#include <vector>

namespace korvane {

class TAccessibleAnnotations {
public:
    // Annotates nothing where the system offers no annotation service: without COM, or on a
    // system that lacks it (Wine's is a stub).
    TAccessibleAnnotations();
    TAccessibleAnnotations(const TAccessibleAnnotations&) = delete;
    TAccessibleAnnotations& operator=(const TAccessibleAnnotations&) = delete;
    ~TAccessibleAnnotations();

    void SetName(HWND AControl, std::u16string_view AName);
    // A polite one: what it says waits until the screen reader has finished speaking.
    void MakeLiveRegion(HWND AControl);
    // To be called after each change of a live region's text: without it nothing is read out.
    static void LiveRegionChanged(HWND AControl);

private:
    struct TReleaser {
        void operator()(IAccPropServices* AServices) const { AServices->Release(); }
    };
    struct TAnnotation {
        HWND Control;
        MSAAPROPID Property;
    };

    void Remember(HWND AControl, const MSAAPROPID& AProperty);

    std::unique_ptr<IAccPropServices, TReleaser> FServices;
    std::vector<TAnnotation> FAnnotations;
};

}  // namespace korvane
