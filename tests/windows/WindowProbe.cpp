// Looks at the downloader's window from outside, as a user would see it, for the end-to-end runs:
//     WindowProbe state [TITLE]   prints title, status line, bar position, the buttons shown and
//                                 the control that has the keyboard focus
//     WindowProbe layout [TITLE]  prints the display's DPI, the window's DPI awareness, its client
//                                 area's size and each control's rectangle, in physical pixels
//     WindowProbe accessible      prints what MSAA says of the window and each control: name and
//                                 role, as a screen reader reads them
//     WindowProbe press KEY       presses return, space or tab on the control that has the focus
//     WindowProbe close [TITLE]   asks the window to close, as its close box does
//     WindowProbe listen          prints, as they come, the events a screen reader acts on: each
//                                 live region's change with its text, each focus change with the
//                                 focused control's text; ends once the window has come and gone
// It finds the window by its class, and its title when given; exit code 1 when there is none.
// windows.h first: the other system headers build on it; initguid.h makes this file define the
// GUIDs that oleacc.h declares.
#include <windows.h>

#include <commctrl.h>
#include <initguid.h>
#include <oleacc.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& AText) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, AText.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, AText.c_str(), -1, out.data(), size, nullptr, nullptr);
    out.pop_back();
    return out;
}

std::wstring TextOf(HWND AWindow) {
    wchar_t text[512] = {};
    GetWindowTextW(AWindow, text, 512);
    return text;
}

struct TControls {
    HWND Bar = nullptr;
    HWND Status = nullptr;
    std::string Buttons;
};

BOOL CALLBACK Collect(HWND AChild, LPARAM AControls) {
    auto& controls = *reinterpret_cast<TControls*>(AControls);
    wchar_t className[64] = {};
    GetClassNameW(AChild, className, 64);
    const std::wstring kind = className;
    if (kind == PROGRESS_CLASSW) {
        controls.Bar = AChild;
    } else if (kind == L"Static") {
        controls.Status = AChild;
    } else if (kind == L"Button" && IsWindowVisible(AChild)) {
        controls.Buttons += (controls.Buttons.empty() ? "" : "|") + Utf8(TextOf(AChild));
    }
    return TRUE;
}

// "left,top,width,height" of `AChild` in its parent's client area.
std::string BoundsOf(HWND AChild) {
    RECT rect{};
    GetWindowRect(AChild, &rect);
    MapWindowPoints(nullptr, GetParent(AChild), reinterpret_cast<POINT*>(&rect), 2);
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
           std::to_string(rect.right - rect.left) + "," + std::to_string(rect.bottom - rect.top);
}

std::wstring ClassOf(HWND AWindow) {
    wchar_t className[64] = {};
    GetClassNameW(AWindow, className, 64);
    return className;
}

// "bar", "status", or "button" and its caption.
std::string ControlName(HWND AChild) {
    const std::wstring kind = ClassOf(AChild);
    return kind == PROGRESS_CLASSW ? "bar"
           : kind == L"Static"     ? "status"
                                   : "button " + Utf8(TextOf(AChild));
}

BOOL CALLBACK PrintBounds(HWND AChild, LPARAM) {
    std::printf("%s=%s\n", ControlName(AChild).c_str(), BoundsOf(AChild).c_str());
    return TRUE;
}

// The control of `AWindow`'s thread that has the keyboard focus; nullptr for none.
HWND FocusOf(HWND AWindow) {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    return GetGUIThreadInfo(GetWindowThreadProcessId(AWindow, nullptr), &thread) ? thread.hwndFocus
                                                                                 : nullptr;
}

// "name|role" of the window's client area as MSAA tells it; "-" for what it does not tell.
std::string AccessibleOf(HWND AWindow) {
    IAccessible* accessible = nullptr;
    if (FAILED(AccessibleObjectFromWindow(AWindow, static_cast<DWORD>(OBJID_CLIENT),
                                          IID_IAccessible,
                                          reinterpret_cast<void**>(&accessible)))) {
        return "-|-";
    }
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    std::string text =
        SUCCEEDED(accessible->get_accName(self, &name)) && name != nullptr ? Utf8(name) : "-";
    SysFreeString(name);
    VARIANT role{};
    text += "|" + (SUCCEEDED(accessible->get_accRole(self, &role)) && role.vt == VT_I4
                       ? std::to_string(role.lVal)
                       : std::string("-"));
    accessible->Release();
    return text;
}

BOOL CALLBACK PrintAccessible(HWND AChild, LPARAM) {
    std::printf("%s=%s\n", ControlName(AChild).c_str(), AccessibleOf(AChild).c_str());
    return TRUE;
}

void CALLBACK PrintEvent(HWINEVENTHOOK, DWORD AEvent, HWND AWindow, LONG AObject, LONG, DWORD,
                         DWORD) {
    if (AWindow == nullptr || AObject != OBJID_CLIENT ||
        ClassOf(GetAncestor(AWindow, GA_ROOT)) != L"TfrmMain") {
        return;
    }
    std::printf("%s=%s\n", AEvent == EVENT_OBJECT_FOCUS ? "focus" : "live-region",
                Utf8(TextOf(AWindow)).c_str());
    std::fflush(stdout);
}

// Out of context: the events come to this thread's message queue.
int Listen() {
    const HWINEVENTHOOK focus = SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr,
                                                &PrintEvent, 0, 0, WINEVENT_OUTOFCONTEXT);
    const HWINEVENTHOOK live =
        SetWinEventHook(EVENT_OBJECT_LIVEREGIONCHANGED, EVENT_OBJECT_LIVEREGIONCHANGED, nullptr,
                        &PrintEvent, 0, 0, WINEVENT_OUTOFCONTEXT);
    std::printf("listening\n");
    std::fflush(stdout);
    bool seen = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (std::chrono::steady_clock::now() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        const bool shown = FindWindowW(L"TfrmMain", nullptr) != nullptr;
        if (seen && !shown) {
            break;
        }
        seen = seen || shown;
    }
    UnhookWinEvent(focus);
    UnhookWinEvent(live);
    return 0;
}

int Press(HWND AWindow, const std::wstring& AKey) {
    const WPARAM key = AKey == L"return"  ? VK_RETURN
                       : AKey == L"space" ? VK_SPACE
                       : AKey == L"tab"   ? VK_TAB
                                          : 0;
    const HWND focus = FocusOf(AWindow);
    if (key == 0 || focus == nullptr) {
        return 1;
    }
    PostMessageW(focus, WM_KEYDOWN, key, 1);
    PostMessageW(focus, WM_KEYUP, key, 1 | (3U << 30));
    return 0;
}

void PrintLayout(HWND AWindow) {
    RECT client{};
    GetClientRect(AWindow, &client);
    // Wine answers GetDpiForWindow for another process's window with 96 whatever the window's
    // DPI is: the display's, and whether the window follows each monitor's, are what can be read.
    const DPI_AWARENESS awareness =
        GetAwarenessFromDpiAwarenessContext(GetWindowDpiAwarenessContext(AWindow));
    std::printf("display-dpi=%u\nawareness=%s\nclient=%ldx%ld\n", GetDpiForSystem(),
                awareness == DPI_AWARENESS_PER_MONITOR_AWARE ? "per-monitor"
                : awareness == DPI_AWARENESS_SYSTEM_AWARE    ? "system"
                                                             : "unaware",
                client.right, client.bottom);
    EnumChildWindows(AWindow, &PrintBounds, 0);
}

}  // namespace

int wmain(int ACount, wchar_t** AArguments) {
    if (ACount != 2 && ACount != 3) {
        return 2;
    }
    const std::wstring command = AArguments[1];
    if (command == L"listen") {
        return Listen();
    }
    // Sizes as the window has them: a probe unaware of the resolution would be told them scaled
    // to 96 DPI.
    SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    const bool titled = ACount == 3 && command != L"press";
    const HWND window = FindWindowW(L"TfrmMain", titled ? AArguments[2] : nullptr);
    if (window == nullptr) {
        return 1;
    }
    if (command == L"press") {
        return ACount == 3 ? Press(window, AArguments[2]) : 2;
    }
    if (command == L"accessible") {
        // MSAA hands objects of another process over through COM.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        std::printf("window=%s\n", AccessibleOf(window).c_str());
        EnumChildWindows(window, &PrintAccessible, 0);
        return 0;
    }
    if (command == L"close") {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (command == L"layout") {
        PrintLayout(window);
        return 0;
    }
    TControls controls;
    EnumChildWindows(window, &Collect, reinterpret_cast<LPARAM>(&controls));
    const auto position =
        controls.Bar ? static_cast<int>(SendMessageW(controls.Bar, PBM_GETPOS, 0, 0)) : -1;
    const HWND focus = FocusOf(window);
    std::printf("title=%s\nstatus=%s\nposition=%d\nbuttons=%s\nfocus=%s\n",
                Utf8(TextOf(window)).c_str(),
                controls.Status ? Utf8(TextOf(controls.Status)).c_str() : "", position,
                controls.Buttons.c_str(), focus ? Utf8(TextOf(focus)).c_str() : "");
    return 0;
}
