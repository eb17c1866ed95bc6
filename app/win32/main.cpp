// windows.h first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <exception>

#include "Application.h"
#include "fmMain.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The marquee progress bar and the buttons come from common controls 6, which the manifest
    // names.
    INITCOMMONCONTROLSEX Controls{};
    Controls.dwSize = sizeof Controls;
    Controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&Controls);

    try {
        korvane::TfrmMain frmMain;
        frmMain.Show();
        // One message at a time until the quit message, which a pump inside a handler may have
        // taken already.
        MSG Message;
        while (!frmMain.Terminating() && GetMessageW(&Message, nullptr, 0, 0) > 0) {
            if (!IsDialogMessageW(frmMain.Handle(), &Message)) {
                TranslateMessage(&Message);
                DispatchMessageW(&Message);
            }
        }
    } catch (const std::exception& E) {
        // The window could not be made: there is nothing to run.
        korvane::HandleException(E);
        return 1;
    }
    return 0;
}
