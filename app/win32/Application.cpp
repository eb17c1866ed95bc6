#include "app/Application.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <exception>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/WindowsText.h"

namespace korvane {

namespace {

using platform::AsWide;

// The executable's file name; empty when the system cannot tell, since reporting a failure must
// not fail in turn.
std::u16string ExecutableFileName() {
    try {
        return platform::ExecutablePath().filename().u16string();
    } catch (const std::exception&) {
        return {};
    }
}

// Failure texts are UTF-8 when the program wrote them, the ANSI code page when the C++ runtime
// took them from the system.
std::u16string Widen(const char* AText) {
    if (std::optional<std::u16string> Text =
            platform::Widened<char16_t>(AText, CP_UTF8, MB_ERR_INVALID_CHARS)) {
        return std::move(*Text);
    }
    return platform::Widened<char16_t>(AText, CP_ACP).value_or(std::u16string());
}

}  // namespace

std::u16string ApplicationTitle(std::u16string_view AExecutableFileName) {
    std::u16string Title(AExecutableFileName.substr(0, AExecutableFileName.find(u'.')));
    if (Title.size() > 1) {
        CharLowerBuffW(reinterpret_cast<LPWSTR>(Title.data() + 1),
                       static_cast<DWORD>(Title.size() - 1));
    }
    return Title;
}

void HandleException(const std::exception& AError) {
    const std::u16string Title = ApplicationTitle(ExecutableFileName());
    const std::u16string Text = FailureText(Widen(AError.what()));
    // Owned by the active window, the box stays in front of it even though that window is kept
    // on top; without one, the box keeps itself on top.
    const HWND Owner = GetActiveWindow();
    MessageBoxW(Owner, AsWide(Text), AsWide(Title),
                MB_OK | MB_ICONERROR | (Owner == nullptr ? MB_TOPMOST : 0));
}

}  // namespace korvane
