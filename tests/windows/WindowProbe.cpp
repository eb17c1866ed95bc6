// Looks at the downloader's window from outside, as a user would see it, for the end-to-end runs:
//     WindowProbe state [TITLE]   prints title, status line, bar position and the buttons shown
//     WindowProbe layout [TITLE]  prints the display's DPI, the window's DPI awareness, its client
//                                 area's size and each control's rectangle, in physical pixels
//     WindowProbe close [TITLE]   asks the window to close, as its close box does
// It finds the window by its class, and its title when given; exit code 1 when there is none.
#include <windows.h>

#include <commctrl.h>

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

BOOL CALLBACK PrintBounds(HWND AChild, LPARAM) {
    wchar_t className[64] = {};
    GetClassNameW(AChild, className, 64);
    const std::wstring kind = className;
    const std::string name = kind == PROGRESS_CLASSW ? "bar"
                             : kind == L"Static"     ? "status"
                                                     : "button " + Utf8(TextOf(AChild));
    std::printf("%s=%s\n", name.c_str(), BoundsOf(AChild).c_str());
    return TRUE;
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
    // Sizes as the window has them: a probe unaware of the resolution would be told them scaled
    // to 96 DPI.
    SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    const HWND window = FindWindowW(L"TfrmMain", ACount == 3 ? AArguments[2] : nullptr);
    if (window == nullptr) {
        return 1;
    }
    const std::wstring command = AArguments[1];
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
    std::printf("title=%s\nstatus=%s\nposition=%d\nbuttons=%s\n", Utf8(TextOf(window)).c_str(),
                controls.Status ? Utf8(TextOf(controls.Status)).c_str() : "", position,
                controls.Buttons.c_str());
    return 0;
}
