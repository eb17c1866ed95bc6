#include "app/Application.h"

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <exception>
#include <string>

#include "platform/Platform.h"

namespace korvane {

namespace {

const wchar_t* AsWide(const std::u16string& AText) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return reinterpret_cast<const wchar_t*>(AText.c_str());
}

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
    for (const UINT CodePage : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
        const DWORD Flags = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int Length = MultiByteToWideChar(CodePage, Flags, AText, -1, nullptr, 0);
        if (Length > 0) {
            std::u16string Text(static_cast<std::size_t>(Length), u'\0');
            MultiByteToWideChar(CodePage, Flags, AText, -1, reinterpret_cast<LPWSTR>(Text.data()),
                                Length);
            Text.pop_back();  // the terminator
            return Text;
        }
    }
    return {};
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
