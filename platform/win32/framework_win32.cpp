// The dialog framework over plain Win32: controls are HWNDs, a modal dialog is
// DialogBoxParamA with one shared dialog procedure that finds the object from
// the window and hands it every message.

#include "platform/framework.h"

#include <windows.h>
#include <commctrl.h>

// The ANSI-or-wide macros would rename the framework's own members here.
#undef SendMessage
#undef GetDlgItemText

#include <cstring>
#include <string>

namespace {

HWND H(WindowHandle handle) { return static_cast<HWND>(handle); }

// The message a dialog object is handling right now, so that Default() can
// ask for the dialog manager's own processing of it. Handlers may run nested
// dialogs or dispatch messages themselves, hence the chain.
struct MessageFrame {
    HWND window;
    bool defaultWanted;
    MessageFrame* outer;
};
MessageFrame* g_currentMessage = nullptr;

// Messages whose result a dialog procedure returns itself instead of through
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return true;
    default:
        return false;
    }
}

uint16_t ReadWord(const BYTE* at) {
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

uint32_t ReadDword(const BYTE* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Resource compilers keep the 16-bit message numbers in initialisation data.
UINT InitDataMessage(uint16_t stored) {
    switch (stored) {
    case 0x0401:
        return LB_ADDSTRING;
    case 0x0403:
        return CB_ADDSTRING;
    default:
        return 0;
    }
}

// A plain Win32 dialog ignores the template's initialisation data (resource
// type 240 with the template's id): the items are added here, the way the
// resource compiler laid them out, unaligned, until a zero control id.
void ApplyDialogInitData(HWND dialog, unsigned templateId) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(240));
    if (info == nullptr) return;
    HGLOBAL loaded = LoadResource(module, info);
    if (loaded == nullptr) return;
    const BYTE* data = static_cast<const BYTE*>(LockResource(loaded));
    const size_t size = SizeofResource(module, info);
    if (data == nullptr) return;

    size_t at = 0;
    while (at + 2 <= size) {
        const uint16_t control = ReadWord(data + at);
        if (control == 0 || at + 8 > size) break;
        const uint16_t message = ReadWord(data + at + 2);
        const uint32_t length = ReadDword(data + at + 4);
        at += 8;
        if (length > size - at) break;
        // The stored text carries its terminating zero; do not rely on it.
        const std::string text(reinterpret_cast<const char*>(data + at),
                               strnlen(reinterpret_cast<const char*>(data + at), length));
        at += length;
        const UINT translated = InitDataMessage(message);
        if (translated != 0)
            SendDlgItemMessageA(dialog, control, translated, 0,
                                reinterpret_cast<LPARAM>(text.c_str()));
    }
}

// The templates place the dialogs at 0, 0: centre them over the owner, or
// on the work area when there is no visible owner.
void CenterDialog(HWND dialog) {
    RECT area;
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
        GetWindowRect(owner, &area);
    } else if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0)) {
        return;
    }
    RECT own;
    GetWindowRect(dialog, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    int x = area.left + (area.right - area.left - width) / 2;
    int y = area.top + (area.bottom - area.top - height) / 2;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        CDialog* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->m_hWnd = window;
        ApplyDialogInitData(window, dialog->TemplateId());
        CenterDialog(window);
        MessageFrame frame{window, false, g_currentMessage};
        g_currentMessage = &frame;
        const bool setFocus = dialog->OnInitDialog();
        g_currentMessage = frame.outer;
        return setFocus ? TRUE : FALSE;
    }

    CDialog* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    // Messages before WM_INITDIALOG (font, creation) have no object yet.
    if (dialog == nullptr) return FALSE;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, DWLP_USER, 0);
        return FALSE;
    }

    MessageFrame frame{window, false, g_currentMessage};
    g_currentMessage = &frame;
    intptr_t result = 0;
    const bool handled = dialog->DispatchDialogMessage(message, wParam, lParam, result);
    g_currentMessage = frame.outer;

    if (!handled || frame.defaultWanted) return FALSE;
    if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(window, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
    return TRUE;
}

CWinApp* g_app = nullptr;

}  // namespace

int SystemMetric(int index) { return ::GetSystemMetrics(index); }

// --- Windows and controls ---------------------------------------------------

bool CWnd::EnableWindow(bool enable) {
    HWND window = H(m_hWnd);
    HWND focus = ::GetFocus();
    if (!enable && focus != nullptr && (focus == window || IsChild(window, focus))) {
        // A disabled control loses the focus and the system gives it to no
        // one, which leaves the keyboard (Escape, Tab) dead until the next
        // click: pass it on to the next tab stop, as the Tab key would.
        HWND dialog = GetParent(window);
        if (dialog != nullptr) SendMessageA(dialog, WM_NEXTDLGCTL, 0, FALSE);
    }
    return ::EnableWindow(window, enable ? TRUE : FALSE) != 0;
}
bool CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(H(m_hWnd)) != 0; }
void CWnd::UpdateWindow() {
    ::UpdateWindow(H(m_hWnd));
    // The caller is about to block the thread (a library call, a pause). Some
    // window systems (wine's) put what was painted on screen only when the
    // thread next looks at its queue: a zero wait looks without taking or
    // dispatching anything.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_PAINT);
}
bool CWnd::IsIconic() const { return ::IsIconic(H(m_hWnd)) != 0; }

std::string CWnd::GetDlgItemText(int id) const {
    HWND item = ::GetDlgItem(H(m_hWnd), id);
    if (item == nullptr) return std::string();
    const int length = GetWindowTextLengthA(item);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const UINT copied = GetDlgItemTextA(H(m_hWnd), id, &text[0], length + 1);
    text.resize(copied);
    return text;
}

WindowHandle CWnd::GetDlgItem(int id) const { return ::GetDlgItem(H(m_hWnd), id); }
WindowHandle CWnd::GetFocus() { return ::GetFocus(); }

intptr_t CWnd::Default() {
    // The dialog procedure answers "not handled", and the dialog manager
    // then does what it does for any dialog.
    if (g_currentMessage != nullptr && g_currentMessage->window == H(m_hWnd))
        g_currentMessage->defaultWanted = true;
    return 0;
}

intptr_t CWnd::SendMessage(unsigned message, uintptr_t wParam, intptr_t lParam) {
    return SendMessageA(H(m_hWnd), message, wParam, lParam);
}

void CWnd::GetClientRect(CRect& rect) const {
    RECT r{};
    ::GetClientRect(H(m_hWnd), &r);
    rect.left = r.left;
    rect.top = r.top;
    rect.right = r.right;
    rect.bottom = r.bottom;
}

void CWnd::SetIcon(IconHandle icon, bool big) {
    SendMessageA(H(m_hWnd), WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

bool CWnd::AppendToSystemMenu(unsigned flags, unsigned id, const std::string& text) {
    HMENU menu = GetSystemMenu(H(m_hWnd), FALSE);
    if (menu == nullptr) return false;
    const char* item = (flags & MF_SEPARATOR) != 0 ? nullptr : text.c_str();
    return AppendMenuA(menu, flags, id, item) != 0;
}

int CButton::GetCheck() const {
    return static_cast<int>(SendMessageA(H(m_hWnd), BM_GETCHECK, 0, 0));
}

void CButton::SetCheck(int check) {
    SendMessageA(H(m_hWnd), BM_SETCHECK, static_cast<WPARAM>(check), 0);
}

int CListBox::InsertString(int index, const std::string& text) {
    return static_cast<int>(SendMessageA(H(m_hWnd), LB_INSERTSTRING, static_cast<WPARAM>(index),
                                         reinterpret_cast<LPARAM>(text.c_str())));
}

int CListBox::SetCurSel(int index) {
    return static_cast<int>(SendMessageA(H(m_hWnd), LB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

void CListBox::ResetContent() { SendMessageA(H(m_hWnd), LB_RESETCONTENT, 0, 0); }

int CComboBox::SetCurSel(int index) {
    return static_cast<int>(SendMessageA(H(m_hWnd), CB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

// --- Painting ---------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* window) : m_window(window) {
    PAINTSTRUCT* paint = new PAINTSTRUCT{};
    m_paint = paint;
    m_hdc = reinterpret_cast<uintptr_t>(BeginPaint(H(window->m_hWnd), paint));
}

CPaintDC::~CPaintDC() {
    PAINTSTRUCT* paint = static_cast<PAINTSTRUCT*>(m_paint);
    EndPaint(H(m_window->m_hWnd), paint);
    delete paint;
}

void CPaintDC::DrawIcon(int x, int y, IconHandle icon) {
    ::DrawIcon(reinterpret_cast<HDC>(m_hdc), x, y, static_cast<HICON>(icon));
}

// --- Dialogs ----------------------------------------------------------------

intptr_t CDialog::DoModal() {
    // Without a parent, a dialog belongs to the application's main window
    // (so the About box keeps the main dialog disabled while it is open).
    HWND owner = m_parent != nullptr ? H(m_parent->m_hWnd) : nullptr;
    if (owner == nullptr && AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != nullptr &&
        AfxGetApp()->m_pMainWnd != this)
        owner = H(AfxGetApp()->m_pMainWnd->m_hWnd);

    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId), owner,
                        DialogProcedure, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;  // the window is gone; the object may outlive it
    return result;
}

void CDialog::EndDialog(int result) { ::EndDialog(H(m_hWnd), result); }

void CDialog::GotoDlgCtrl(WindowHandle control) {
    SendMessageA(H(m_hWnd), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

// --- Application --------------------------------------------------------------

CWinApp::CWinApp() { g_app = this; }
CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}
bool CWinApp::InitInstance() { return false; }

// The manifest asks for version 6 of the common controls, which draws the
// buttons, check boxes, list and combo box in the system's current look once
// the process has registered their classes. Without version 6 (a system that
// ignores the manifest) the call fails and the classic controls remain, which
// is all there is to do then.
void CWinApp::Enable3dControls() {
    INITCOMMONCONTROLSEX classes = {};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&classes);
}

// No ActiveX control is hosted: nothing to turn on.
void AfxEnableControlContainer() {}

// The tool ships no help file; the Help command has nothing to open.
void CWinApp::OnHelp() {}

CWinApp* AfxGetApp() { return g_app; }

IconHandle LoadAppIcon(unsigned id) {
    return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
}

// The process's entry: the one application object, constructed before this
// runs, starts up; its start-up runs the main dialog, and the process ends.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CWinApp* app = AfxGetApp();
    if (app != nullptr) app->InitInstance();
    return 0;
}

// --- Display scale ----------------------------------------------------------

namespace {

// A function of a system DLL the process has loaded already, or null where
// this Windows has none: the program must start on systems older than the
// function, so it is never imported.
template <class Function>
Function SystemFunction(const char* module, const char* name) {
    HMODULE loaded = GetModuleHandleA(module);
    if (loaded == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(loaded, name)));
}

}  // namespace

int SystemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

int WindowDpi(const CWnd& window) {
    // Only a per-monitor aware process has windows at another scale than the
    // system's; where the call is missing, there is none.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = SystemFunction<GetDpiForWindowFunction>("user32.dll", "GetDpiForWindow");
    if (getDpiForWindow != nullptr) {
        const UINT dpi = getDpiForWindow(H(window.m_hWnd));
        if (dpi != 0) return static_cast<int>(dpi);
    }
    return SystemDpi();
}

IconHandle LoadAppIconForDpi(unsigned id, bool big, int dpi) {
    using MetricForDpiFunction = int(WINAPI*)(int, UINT);
    static const auto metricForDpi = SystemFunction<MetricForDpiFunction>("user32.dll", "GetSystemMetricsForDpi");
    const int index = big ? SM_CXICON : SM_CXSMICON;
    const int size = metricForDpi != nullptr ? metricForDpi(index, static_cast<UINT>(dpi))
                                             : MulDiv(GetSystemMetrics(index), dpi, SystemDpi());
    if (size <= 0) return nullptr;

    // Common controls 6 draw a size the icon file lacks (175 %, above 200 %)
    // from a larger picture; the plain loader would stretch a smaller one.
    using ScaleDownFunction = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
    static const auto loadScaledDown = SystemFunction<ScaleDownFunction>("comctl32.dll", "LoadIconWithScaleDown");
    HINSTANCE program = GetModuleHandleA(nullptr);
    HICON icon = nullptr;
    if (loadScaledDown != nullptr && SUCCEEDED(loadScaledDown(program, MAKEINTRESOURCEW(id), size, size, &icon)))
        return icon;
    return LoadImageA(program, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR);
}

void DestroyAppIcon(IconHandle icon) {
    if (icon != nullptr) DestroyIcon(static_cast<HICON>(icon));
}
