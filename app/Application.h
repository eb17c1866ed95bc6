// The application's default failure handler: the one place that shows a failure no handler of the
// program dealt with. The program carries on afterwards. Each toolkit shows the box itself
// (app/qt, app/win32).
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace korvane {

// The title of the application's message boxes: `AExecutableFileName` up to its first full stop,
// every character after the first in lower case ("KorvaneDownloader.exe" gives
// "Korvanedownloader"). Lower case is the toolkit's, for every letter it knows.
std::u16string ApplicationTitle(std::u16string_view AExecutableFileName);

// `AMessage` with a full stop added when it ends in a character that sorts after one.
std::u16string FailureText(std::u16string AMessage);

// Shows `AError` in an error message box titled with the application's title, then returns.
void HandleException(const std::exception& AError);

// Runs one event handler. A std::exception it raises goes to HandleException, since nothing may
// cross the toolkit's event dispatch; anything else raised ends the program. True when the handler
// ran to its end.
template <class THandler>
bool RunHandler(THandler&& AHandler) noexcept {
    try {
        std::forward<THandler>(AHandler)();
        return true;
    } catch (const std::exception& E) {
        HandleException(E);
    }
    return false;
}

}  // namespace korvane
