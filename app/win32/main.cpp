// windows.h first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <exception>

#include "app/Application.h"
#include "app/ProgramParts.h"
#include "fmMain.h"
#include "platform/StackGuard_windows.h"

namespace {

// The shell may hand "open" to a COM handler (a browser registered for https does), so the thread
// that calls it is a COM apartment for the program's whole life.
class TComApartment {
public:
    TComApartment()
        : FInitialised(SUCCEEDED(
              CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;
    ~TComApartment() {
        if (FInitialised) {
            CoUninitialize();
        }
    }

private:
    const bool FInitialised;
};

// The program once the DLL search is restricted and the stack guard seeded. Not inlined: its
// frame has a canary, which wWinMain's must not.
[[gnu::noinline]] int Run() {
    const TComApartment apartment;
    // The marquee progress bar and the buttons come from common controls 6, which the manifest
    // names.
    INITCOMMONCONTROLSEX Controls{};
    Controls.dwSize = sizeof Controls;
    Controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&Controls);

    try {
        korvane::TfrmMain frmMain(korvane::ProgramParts());
        frmMain.Show();
        // One message at a time until the quit message, which a pump inside a handler may have
        // taken already.
        MSG Message;
        while (!frmMain.Terminating() && GetMessageW(&Message, nullptr, 0, 0) > 0) {
            frmMain.DispatchWindowMessage(Message);
        }
    } catch (const std::exception& E) {
        // The window could not be made: there is nothing to run.
        korvane::HandleException(E);
        return 1;
    }
    return 0;
}

}  // namespace

// No canary: the stack guard changes while this frame is live.
[[gnu::no_stack_protector]] int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Started from a Downloads folder, where a web page can drop DLLs of any name, the program
    // loads DLLs from the system directory only, from here on and for the whole process: the DLLs
    // it uses beyond the KnownDLLs are delay-loaded (cmake/delayload), so none was resolved before
    // this, and what system DLLs load on demand is covered too. Without it nothing is safe to load.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return 1;
    }
    // The random guard comes from the system's generator, which may load DLLs: only now. Without
    // it the canaries would hold a value known to all.
    if (!korvane::platform::SeedStackGuard()) {
        return 1;
    }
    return Run();
}
