// A top-level window tied to the object that handles its messages: registers the window class,
// creates the window, and routes each message to `TDerived::HandleMessage`. TDerived names its
// class (kClassName) and icon resource (kIconName), and handles
//     LRESULT HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) noexcept;
// returning DefWindowProcW's answer for the messages it leaves alone.
#pragma once

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <type_traits>

namespace korvane {

template <class TDerived>
class TBaseWindow {
public:
    TBaseWindow(const TBaseWindow&) = delete;
    TBaseWindow& operator=(const TBaseWindow&) = delete;

    HWND Handle() const { return FHandle.get(); }
    // The resolution the window is drawn for: its monitor's, the process being aware of it.
    UINT Dpi() const { return GetDpiForWindow(Handle()); }

protected:
    TBaseWindow() = default;
    ~TBaseWindow() = default;

    // Creates the window, hidden, untitled and without size: its monitor, and so its DPI, is
    // known only once it exists.
    void Create(DWORD AExStyle, DWORD AStyle) {
        const HINSTANCE Instance = GetModuleHandleW(nullptr);
        RegisterWindowClass(Instance);
        FHandle.reset(CreateWindowExW(AExStyle, TDerived::kClassName, L"", AStyle, CW_USEDEFAULT,
                                      CW_USEDEFAULT, 0, 0, nullptr, nullptr, Instance,
                                      static_cast<TDerived*>(this)));
        if (!FHandle) {
            throw std::runtime_error("Cannot create the main window");
        }
    }

    // Gives the window a client area of exactly `AClientWidth` by `AClientHeight` pixels, with
    // the frame it has at `ADpi`; its top-left corner stays.
    void SetClientSize(int AClientWidth, int AClientHeight, UINT ADpi) {
        RECT Outer{0, 0, AClientWidth, AClientHeight};
        AdjustWindowRectExForDpi(
            &Outer, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), FALSE,
            static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)), ADpi);
        SetWindowPos(Handle(), nullptr, 0, 0, Outer.right - Outer.left, Outer.bottom - Outer.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        KeepClientSize(AClientWidth, AClientHeight);
    }

    // Destroys the window now, before the members of TDerived that it draws with.
    void Destroy() { FHandle.reset(); }

private:
    struct TWindowDeleter {
        void operator()(HWND AHandle) const {
            // The messages of its destruction find no window object any more: its members may
            // be gone already.
            SetWindowLongPtrW(AHandle, GWLP_USERDATA, 0);
            DestroyWindow(AHandle);
        }
    };

    // Once a process: a second window of the class finds it registered.
    static void RegisterWindowClass(HINSTANCE AInstance) {
        WNDCLASSEXW Class{};
        Class.cbSize = sizeof Class;
        Class.lpfnWndProc = &WindowProc;
        Class.hInstance = AInstance;
        Class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        // Shared icons belong to the system; nobody destroys them.
        Class.hIcon = static_cast<HICON>(LoadImageW(AInstance, TDerived::kIconName, IMAGE_ICON, 0,
                                                    0, LR_DEFAULTSIZE | LR_SHARED));
        Class.hIconSm = static_cast<HICON>(LoadImageW(AInstance, TDerived::kIconName, IMAGE_ICON,
                                                      GetSystemMetrics(SM_CXSMICON),
                                                      GetSystemMetrics(SM_CYSMICON), LR_SHARED));
        Class.lpszClassName = TDerived::kClassName;
        // Each window paints its own background.
        Class.hbrBackground = nullptr;
        if (RegisterClassExW(&Class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            throw std::runtime_error("Cannot register the window class");
        }
    }

    // A frame drawn otherwise than AdjustWindowRectExForDpi assumed must not cost client area.
    void KeepClientSize(int AClientWidth, int AClientHeight) {
        RECT Client{};
        GetClientRect(Handle(), &Client);
        if (Client.right == AClientWidth && Client.bottom == AClientHeight) {
            return;
        }
        RECT Window{};
        GetWindowRect(Handle(), &Window);
        SetWindowPos(Handle(), nullptr, 0, 0,
                     Window.right - Window.left + AClientWidth - Client.right,
                     Window.bottom - Window.top + AClientHeight - Client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    static LRESULT CALLBACK WindowProc(HWND AHandle, UINT AMessage, WPARAM AWParam,
                                       LPARAM ALParam) noexcept {
        if (AMessage == WM_NCCREATE) {
            const auto* const Create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
            SetWindowLongPtrW(AHandle, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
        }
        auto* const Self = reinterpret_cast<TDerived*>(GetWindowLongPtrW(AHandle, GWLP_USERDATA));
        // Until CreateWindowExW has returned, the window is not the object's yet.
        if (Self == nullptr || Self->Handle() != AHandle) {
            return DefWindowProcW(AHandle, AMessage, AWParam, ALParam);
        }
        return Self->HandleMessage(AMessage, AWParam, ALParam);
    }

    std::unique_ptr<std::remove_pointer_t<HWND>, TWindowDeleter> FHandle;
};

}  // namespace korvane
