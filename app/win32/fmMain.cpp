#include "fmMain.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "app/Application.h"
#include "platform/WindowsText.h"

namespace korvane {

namespace {

using platform::AsWide;

constexpr wchar_t kWindowClass[] = L"TfrmMain";
constexpr wchar_t kTemplateName[] = L"TFRMMAIN";
// RT_RCDATA, in its wide form whether or not the build defines UNICODE.
const LPCWSTR kRawData = MAKEINTRESOURCEW(10);
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerInterval = 1000;

// How a control takes its place in the client area; the values of the resource script.
enum class TAlign : std::uint32_t {
    alNone = 0,    // left, top, width and height as given
    alTop = 1,     // docked to the top edge at full width and the given height
    alClient = 2,  // what the docked controls leave, inset by the margins
};

struct TControlTemplate {
    std::u16string Name;
    std::u16string ClassName;
    std::u16string Caption;
    std::uint32_t Id = 0;
    DWORD Style = 0;
    TAlign Align = TAlign::alNone;
    RECT Bounds{};            // left, top, right, bottom
    RECT Margins{};           // left, top, right, bottom
    std::u16string FontName;  // empty: the window's font
    int FontHeight = 0;
    COLORREF TextColor = CLR_DEFAULT;
};

struct TFormTemplate {
    DWORD ExStyle = 0;
    DWORD Style = 0;
    int ClientWidth = 0;
    int ClientHeight = 0;
    COLORREF Color = 0;
    std::u16string FontName;
    int FontHeight = 0;
    std::u16string Caption;
    std::vector<TControlTemplate> Controls;  // from the front of the stacking order to the back
};

// Reads the template's fields in order: 32-bit little-endian numbers and NUL-terminated UTF-8
// texts, packed without alignment.
class TTemplateReader {
public:
    explicit TTemplateReader(std::span<const std::byte> AData) : FData(AData) {}

    std::uint32_t Number() {
        std::uint32_t Value = 0;
        if (FData.size() < sizeof Value) {
            throw std::runtime_error("The window template ends inside a number");
        }
        std::memcpy(&Value, FData.data(), sizeof Value);
        FData = FData.subspan(sizeof Value);
        return Value;
    }
    int Integer() { return static_cast<int>(Number()); }

    std::u16string Text() {
        const auto End = std::find(FData.begin(), FData.end(), std::byte{0});
        if (End == FData.end()) {
            throw std::runtime_error("The window template ends inside a text");
        }
        const std::string_view Utf8(reinterpret_cast<const char*>(FData.data()),
                                    static_cast<std::size_t>(End - FData.begin()));
        FData = FData.subspan(Utf8.size() + 1);
        std::optional<std::u16string> Text =
            platform::Widened<char16_t>(Utf8, CP_UTF8, MB_ERR_INVALID_CHARS);
        if (!Text) {
            throw std::runtime_error("The window template holds a text that is not UTF-8");
        }
        return std::move(*Text);
    }

    RECT Rect() {
        RECT Value{};
        Value.left = Integer();
        Value.top = Integer();
        Value.right = Integer();
        Value.bottom = Integer();
        return Value;
    }

private:
    std::span<const std::byte> FData;
};

TFormTemplate LoadFormTemplate(HINSTANCE AInstance) {
    const HRSRC Resource = FindResourceW(AInstance, kTemplateName, kRawData);
    const HGLOBAL Loaded = Resource != nullptr ? LoadResource(AInstance, Resource) : nullptr;
    const void* const Data = Loaded != nullptr ? LockResource(Loaded) : nullptr;
    if (Data == nullptr) {
        throw std::runtime_error("The executable has no window template");
    }
    TTemplateReader Reader(
        std::span(static_cast<const std::byte*>(Data), SizeofResource(AInstance, Resource)));

    TFormTemplate Form;
    Form.ExStyle = Reader.Number();
    Form.Style = Reader.Number();
    Form.ClientWidth = Reader.Integer();
    Form.ClientHeight = Reader.Integer();
    Form.Color = Reader.Number();
    Form.FontName = Reader.Text();
    Form.FontHeight = Reader.Integer();
    Form.Caption = Reader.Text();
    const std::uint32_t ControlCount = Reader.Number();
    for (std::uint32_t Index = 0; Index < ControlCount; ++Index) {
        TControlTemplate& Control = Form.Controls.emplace_back();
        Control.Name = Reader.Text();
        Control.ClassName = Reader.Text();
        Control.Caption = Reader.Text();
        Control.Id = Reader.Number();
        Control.Style = Reader.Number();
        Control.Align = static_cast<TAlign>(Reader.Number());
        const RECT Given = Reader.Rect();  // left, top, width, height
        Control.Bounds = {Given.left, Given.top, Given.left + Given.right,
                          Given.top + Given.bottom};
        Control.Margins = Reader.Rect();
        Control.FontName = Reader.Text();
        Control.FontHeight = Reader.Integer();
        Control.TextColor = Reader.Number();
    }
    return Form;
}

// Places the docked controls: those docked to the top in template order, then those that fill
// the rest.
void ApplyAlignment(TFormTemplate& AForm) {
    RECT Rest{0, 0, AForm.ClientWidth, AForm.ClientHeight};
    for (TControlTemplate& Control : AForm.Controls) {
        if (Control.Align == TAlign::alTop) {
            const LONG Height = Control.Bounds.bottom - Control.Bounds.top;
            Control.Bounds = {Rest.left, Rest.top, Rest.right, Rest.top + Height};
            Rest.top += Height;
        }
    }
    for (TControlTemplate& Control : AForm.Controls) {
        if (Control.Align == TAlign::alClient) {
            Control.Bounds = {Rest.left + Control.Margins.left, Rest.top + Control.Margins.top,
                              Rest.right - Control.Margins.right,
                              Rest.bottom - Control.Margins.bottom};
        }
    }
}

// Verdana-like fonts by character height in pixels: the program is not aware of the display's
// resolution, so pixels are what it works with.
HFONT CreateFontOf(const std::u16string& AName, int ACharacterHeight) {
    LOGFONTW Font{};
    Font.lfHeight = -ACharacterHeight;  // negative: the character height, without the leading
    Font.lfWeight = FW_NORMAL;
    Font.lfCharSet = DEFAULT_CHARSET;
    Font.lfQuality = DEFAULT_QUALITY;
    const std::size_t Length = std::min(AName.size(), std::size(Font.lfFaceName) - 1);
    std::copy_n(AName.begin(), Length, Font.lfFaceName);
    const HFONT Handle = CreateFontIndirectW(&Font);
    if (Handle == nullptr) {
        throw std::runtime_error("Cannot create a font");
    }
    return Handle;
}

void RegisterWindowClass(HINSTANCE AInstance, WNDPROC AWindowProc) {
    WNDCLASSEXW Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = AWindowProc;
    Class.hInstance = AInstance;
    Class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // Shared icons belong to the system; nobody destroys them.
    Class.hIcon = static_cast<HICON>(
        LoadImageW(AInstance, L"MAINICON", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    Class.hIconSm = static_cast<HICON>(LoadImageW(AInstance, L"MAINICON", IMAGE_ICON,
                                                  GetSystemMetrics(SM_CXSMICON),
                                                  GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    Class.lpszClassName = kWindowClass;
    // Each window paints its own background: the colour comes from its template.
    Class.hbrBackground = nullptr;
    if (RegisterClassExW(&Class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        throw std::runtime_error("Cannot register the window class");
    }
}

}  // namespace

TfrmMain::TfrmMain(TDownloadParts AParts) {
    const HINSTANCE Instance = GetModuleHandleW(nullptr);
    RegisterWindowClass(Instance, &TfrmMain::WindowProc);
    TFormTemplate Form = LoadFormTemplate(Instance);
    ApplyAlignment(Form);

    FColor = Form.Color;
    FBackgroundBrush.reset(CreateSolidBrush(FColor));
    FFonts.emplace_back(CreateFontOf(Form.FontName, Form.FontHeight));
    FFont = FFonts.back().get();

    RECT Outer{0, 0, Form.ClientWidth, Form.ClientHeight};
    AdjustWindowRectEx(&Outer, Form.Style, FALSE, Form.ExStyle);
    FHandle.reset(CreateWindowExW(Form.ExStyle, kWindowClass, AsWide(Form.Caption), Form.Style,
                                  CW_USEDEFAULT, CW_USEDEFAULT, Outer.right - Outer.left,
                                  Outer.bottom - Outer.top, nullptr, nullptr, Instance, this));
    if (!FHandle) {
        throw std::runtime_error("Cannot create the main window");
    }
    // A frame drawn otherwise than AdjustWindowRectEx assumed must not cost client area.
    RECT Client{};
    GetClientRect(Handle(), &Client);
    if (Client.right != Form.ClientWidth || Client.bottom != Form.ClientHeight) {
        RECT Window{};
        GetWindowRect(Handle(), &Window);
        SetWindowPos(Handle(), nullptr, 0, 0,
                     Window.right - Window.left + Form.ClientWidth - Client.right,
                     Window.bottom - Window.top + Form.ClientHeight - Client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    for (const TControlTemplate& Control : Form.Controls) {
        HFONT Font = FFont;
        if (!Control.FontName.empty()) {
            Font = FFonts.emplace_back(CreateFontOf(Control.FontName, Control.FontHeight)).get();
        }
        const HWND Child = CreateWindowExW(
            0, AsWide(Control.ClassName), AsWide(Control.Caption), Control.Style,
            Control.Bounds.left, Control.Bounds.top, Control.Bounds.right - Control.Bounds.left,
            Control.Bounds.bottom - Control.Bounds.top, Handle(),
            reinterpret_cast<HMENU>(static_cast<UINT_PTR>(Control.Id)), Instance, nullptr);
        if (Child == nullptr) {
            throw std::runtime_error("Cannot create a control of the main window");
        }
        // Each one behind those before it, whatever order the system gives new children.
        SetWindowPos(Child, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        SendMessageW(Child, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
        FControls.push_back({Control.Name, Child, Control.TextColor});
    }
    ProgressBar = TProgressBar(Control(u"ProgressBar"));
    labMessage = Control(u"labMessage");
    btnDownloadLink = Control(u"btnDownloadLink");
    btnRetry = Control(u"btnRetry");

    RunHandler([&] { FormCreate(std::move(AParts)); });
}

TfrmMain::~TfrmMain() = default;

HWND TfrmMain::FindControl(std::u16string_view AName) const {
    for (const TControl& Control : FControls) {
        if (Control.Name == AName) {
            return Control.Handle;
        }
    }
    return nullptr;
}

HWND TfrmMain::Control(std::u16string_view AName) const {
    const HWND Found = FindControl(AName);
    if (Found == nullptr) {
        throw std::runtime_error("The window template lacks a control");
    }
    return Found;
}

const TfrmMain::TControl* TfrmMain::ControlOf(HWND AHandle) const {
    for (const TControl& Control : FControls) {
        if (Control.Handle == AHandle) {
            return &Control;
        }
    }
    return nullptr;
}

void TfrmMain::SetButtonCaptions(std::u16string_view ADownloadLink, std::u16string_view ARetry) {
    SetWindowTextW(btnDownloadLink, AsWide(std::u16string(ADownloadLink)));
    SetWindowTextW(btnRetry, AsWide(std::u16string(ARetry)));
}

void TfrmMain::Show() {
    ShowWindow(Handle(), SW_SHOW);
    UpdateWindow(Handle());
}

void TfrmMain::CentreOnPrimaryMonitor() {
    MONITORINFO Monitor{};
    Monitor.cbSize = sizeof Monitor;
    if (!GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &Monitor)) {
        return;
    }
    const RECT& WorkArea = Monitor.rcWork;
    RECT Outer{};
    GetWindowRect(Handle(), &Outer);
    const LONG Width = Outer.right - Outer.left;
    const LONG Height = Outer.bottom - Outer.top;
    SetWindowPos(Handle(), nullptr, WorkArea.left + (WorkArea.right - WorkArea.left - Width) / 2,
                 WorkArea.top + (WorkArea.bottom - WorkArea.top - Height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmMain::SetTitle(std::u16string_view ATitle) {
    SetWindowTextW(Handle(), AsWide(std::u16string(ATitle)));
}

void TfrmMain::SetStatusText(std::u16string_view AText) {
    SetWindowTextW(labMessage, AsWide(std::u16string(AText)));
}

void TfrmMain::SetProgressBarStyle(TProgressBarStyle AStyle) {
    ProgressBar.SetStyle(AStyle);
}

void TfrmMain::SetProgressBarPosition(int APosition) {
    ProgressBar.SetPosition(APosition);
}

int TfrmMain::ProgressBarPosition() const {
    return ProgressBar.Position();
}

void TfrmMain::SetRetryButtonVisible(bool AVisible) {
    ShowWindow(btnRetry, AVisible ? SW_SHOWNA : SW_HIDE);
}

void TfrmMain::SetDownloadLinkButtonVisible(bool AVisible) {
    ShowWindow(btnDownloadLink, AVisible ? SW_SHOWNA : SW_HIDE);
}

void TfrmMain::SetTimerArmed(bool AArmed) {
    if (AArmed == FTimerArmed) {
        return;  // re-arming would restart the period
    }
    if (AArmed) {
        if (SetTimer(Handle(), kTimerId, kTimerInterval, nullptr) == 0) {
            throw std::runtime_error("Cannot arm the timer");
        }
    } else {
        KillTimer(Handle(), kTimerId);
    }
    FTimerArmed = AArmed;
}

void TfrmMain::CloseWindow() {
    bool CanClose = true;
    FormCloseQuery(CanClose);
    if (!CanClose) {
        return;
    }
    // A closed window starts no download, even while the message loop runs on for a moment.
    SetTimerArmed(false);
    // The window stays as it is until the loop has ended and its owner destroys it.
    PostQuitMessage(0);
}

void TfrmMain::ProcessMessages() {
    MSG Message;
    while (PeekMessageW(&Message, nullptr, 0, 0, PM_REMOVE)) {
        if (Message.message == WM_QUIT) {
            // Taken here, the quit message never reaches the message loop: it ends on this flag.
            FTerminating = true;
            continue;
        }
        DispatchWindowMessage(Message);
    }
}

void TfrmMain::DispatchWindowMessage(MSG& AMessage) {
    // Tab, Space and Enter move between and press the buttons.
    if (!IsDialogMessageW(Handle(), &AMessage)) {
        TranslateMessage(&AMessage);
        DispatchMessageW(&AMessage);
    }
}

platform::TWindowHandle TfrmMain::NativeHandle() const {
    return platform::TWindowHandle{reinterpret_cast<std::uintptr_t>(Handle())};
}

LRESULT CALLBACK TfrmMain::WindowProc(HWND AHandle, UINT AMessage, WPARAM AWParam,
                                      LPARAM ALParam) noexcept {
    if (AMessage == WM_NCCREATE) {
        const auto* const Create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AHandle, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    auto* const Self = reinterpret_cast<TfrmMain*>(GetWindowLongPtrW(AHandle, GWLP_USERDATA));
    // Until CreateWindowExW has returned, the window is not the object's yet.
    if (Self == nullptr || Self->Handle() != AHandle) {
        return DefWindowProcW(AHandle, AMessage, AWParam, ALParam);
    }
    return Self->HandleMessage(AMessage, AWParam, ALParam);
}

LRESULT TfrmMain::HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) noexcept {
    switch (AMessage) {
        case WM_ERASEBKGND: {
            RECT Client{};
            GetClientRect(Handle(), &Client);
            FillRect(reinterpret_cast<HDC>(AWParam), &Client, FBackgroundBrush.get());
            return 1;
        }
        case WM_CTLCOLORSTATIC: {
            // The status line is drawn on the window's own background.
            const HDC DeviceContext = reinterpret_cast<HDC>(AWParam);
            const TControl* const Control = ControlOf(reinterpret_cast<HWND>(ALParam));
            if (Control != nullptr && Control->TextColor != CLR_DEFAULT) {
                SetTextColor(DeviceContext, Control->TextColor);
            }
            SetBkColor(DeviceContext, FColor);
            SetBkMode(DeviceContext, TRANSPARENT);
            return reinterpret_cast<LRESULT>(FBackgroundBrush.get());
        }
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(FFont);
        case WM_SHOWWINDOW:
            // Sent by ShowWindow before the window becomes visible.
            if (AWParam != FALSE && ALParam == 0) {
                RunHandler([this] { FormShow(); });
                if (!FCentred) {
                    CentreOnPrimaryMonitor();
                    FCentred = true;
                }
            }
            break;
        case WM_TIMER:
            if (AWParam == kTimerId && FTimerArmed) {
                // One expiry per arming, as the run expects.
                SetTimerArmed(false);
                RunHandler([this] { TimerTimer(); });
                return 0;
            }
            break;
        case WM_COMMAND:
            if (HIWORD(AWParam) == BN_CLICKED) {
                const HWND Sender = reinterpret_cast<HWND>(ALParam);
                if (Sender == btnRetry) {
                    RunHandler([this] { btnRetryClick(); });
                    return 0;
                }
                if (Sender == btnDownloadLink) {
                    RunHandler([this] { btnDownloadLinkClick(); });
                    return 0;
                }
            }
            break;
        case WM_CLOSE:
            // The close box and Alt+F4. Not DefWindowProc: the window lives until the loop ends.
            RunHandler([this] { CloseWindow(); });
            return 0;
        default:
            break;
    }
    return DefWindowProcW(Handle(), AMessage, AWParam, ALParam);
}

}  // namespace korvane
