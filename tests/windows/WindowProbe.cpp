// Looks at the downloader's window from outside, as a user would see it, for the end-to-end runs:
//     WindowProbe state [TITLE]   prints title, status line, bar position and the buttons shown
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

}  // namespace

int wmain(int ACount, wchar_t** AArguments) {
    if (ACount != 2 && ACount != 3) {
        return 2;
    }
    const HWND window = FindWindowW(L"TfrmMain", ACount == 3 ? AArguments[2] : nullptr);
    if (window == nullptr) {
        return 1;
    }
    const std::wstring command = AArguments[1];
    if (command == L"close") {
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
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
