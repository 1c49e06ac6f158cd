// A small dialog framework in the shape the tool is written against: an
// application object, modal dialogs with static message maps and data
// exchange, and the three kinds of control the main window uses. Only the
// operations the tool calls exist. Window handles are opaque here; the
// backend linked into the build (Win32, or in-memory for host tests) gives
// them meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using WindowHandle = void*;
using IconHandle = void*;

// Message numbers and codes, with the values the window manager uses.
namespace msg {
constexpr unsigned kPaint = 0x000F;
constexpr unsigned kQueryDragIcon = 0x0037;
constexpr unsigned kCommand = 0x0111;
constexpr unsigned kSysCommand = 0x0112;
constexpr unsigned kIconEraseBackground = 0x0027;
constexpr unsigned kButtonClicked = 0;       // BN_CLICKED
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kHelpCommand = 0xE146;         // the framework's Help command
}  // namespace msg

constexpr unsigned kMenuString = 0x0000;     // MF_STRING
constexpr unsigned kMenuSeparator = 0x0800;  // MF_SEPARATOR

constexpr int kSmCxIcon = 11;  // SM_CXICON
constexpr int kSmCyIcon = 12;  // SM_CYICON
// The system's metric `index` (GetSystemMetrics).
int SystemMetric(int index);

struct CRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

class CCmdTarget;

// One entry of a static message map: the message (and, for commands, the
// control id and notification code) and the function that handles it.
struct MessageMapEntry {
    unsigned message;
    int id;
    unsigned code;
    intptr_t (*handler)(CCmdTarget& target, uintptr_t wParam, intptr_t lParam);
};

struct MessageMap {
    const MessageMap* base;
    const MessageMapEntry* entries;
    size_t count;
};

// Adapters from the handler signatures the tool uses to a map entry's.
template <class T, void (T::*F)()>
intptr_t CallHandler(CCmdTarget& target, uintptr_t, intptr_t) {
    (static_cast<T&>(target).*F)();
    return 0;
}
template <class T, void (T::*F)(unsigned, intptr_t)>
intptr_t CallSysCommandHandler(CCmdTarget& target, uintptr_t wParam, intptr_t lParam) {
    (static_cast<T&>(target).*F)(static_cast<unsigned>(wParam), lParam);
    return 0;
}
template <class T, IconHandle (T::*F)()>
intptr_t CallIconHandler(CCmdTarget& target, uintptr_t, intptr_t) {
    return reinterpret_cast<intptr_t>((static_cast<T&>(target).*F)());
}

// Anything with a message map: windows and the application object.
class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    // Runs the message map; false when no entry took the message.
    bool OnWndMsg(unsigned message, uintptr_t wParam, intptr_t lParam, intptr_t& result);

protected:
    virtual const MessageMap* GetMessageMap() const;
};

class CDataExchange;

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    explicit CWnd(WindowHandle handle) : m_hWnd(handle) {}

    bool EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    void UpdateWindow();
    bool IsIconic() const;

    // The text of child control `id` (an edit field's or combo box's).
    std::string GetDlgItemText(int id) const;
    WindowHandle GetDlgItem(int id) const;
    // The window of this thread that has the keyboard focus; null for none.
    static WindowHandle GetFocus();

    // Exchanges the members with the controls: from the controls into the
    // members when `saveAndValidate` is true, the other way otherwise.
    bool UpdateData(bool saveAndValidate = true);

    // The window class's own processing of the message being handled.
    intptr_t Default();
    intptr_t SendMessage(unsigned message, uintptr_t wParam = 0, intptr_t lParam = 0);

    void GetClientRect(CRect& rect) const;
    void SetIcon(IconHandle icon, bool big);
    // Appends a separator and/or text item to the system menu; false when the
    // window has none.
    bool AppendToSystemMenu(unsigned flags, unsigned id, const std::string& text);

    WindowHandle m_hWnd = nullptr;

protected:
    virtual void DoDataExchange(CDataExchange* dx);
};

class CButton : public CWnd {
public:
    int GetCheck() const;
    void SetCheck(int check);
};

class CListBox : public CWnd {
public:
    int InsertString(int index, const std::string& text);
    int SetCurSel(int index);
    void ResetContent();
};

class CComboBox : public CWnd {
public:
    int SetCurSel(int index);
};

// Painting of a window between begin and end of paint.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* window);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    uintptr_t GetSafeHdc() const { return m_hdc; }
    void DrawIcon(int x, int y, IconHandle icon);

private:
    CWnd* m_window;
    uintptr_t m_hdc = 0;
    [[maybe_unused]] void* m_paint = nullptr;  // the backend's paint record
};

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, bool saveAndValidate)
        : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
    CWnd* m_pDlgWnd;
    bool m_bSaveAndValidate;
};

void DDX_Control(CDataExchange* dx, int id, CWnd& control);
void DDX_Check(CDataExchange* dx, int id, int& value);

class CDialog : public CWnd {
public:
    explicit CDialog(unsigned templateId, CWnd* parent = nullptr)
        : m_templateId(templateId), m_parent(parent) {}

    // Runs the dialog modally; the value given to EndDialog, or -1.
    intptr_t DoModal();
    void EndDialog(int result);

    // Gives `control` the focus the way the dialog manager moves it.
    void GotoDlgCtrl(WindowHandle control);

    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    // What the dialog's window procedure does with a message: the message
    // map first, then the OK and cancel commands. False when not handled.
    bool DispatchDialogMessage(unsigned message, uintptr_t wParam, intptr_t lParam,
                               intptr_t& result);

    unsigned TemplateId() const { return m_templateId; }

private:
    unsigned m_templateId;
    CWnd* m_parent;
};

class CWinApp : public CCmdTarget {
public:
    CWinApp();
    ~CWinApp() override;
    virtual bool InitInstance();
    // The controls take the system's current look (visual styles).
    void Enable3dControls();

    CWnd* m_pMainWnd = nullptr;

protected:
    void OnHelp();
};

CWinApp* AfxGetApp();
void AfxEnableControlContainer();
// Icon `id` of the program's resources.
IconHandle LoadAppIcon(unsigned id);

// --- Display scale --------------------------------------------------------
// The window manager draws the tool's windows at the system's scale (dots per
// inch, 96 at 100 %), or where it can at each monitor's own. The dialog
// manager scales the dialogs' controls and font; the window's icons are the
// tool's to hand over at the window's scale.
namespace msg {
constexpr unsigned kDpiChanged = 0x02E0;  // WM_DPICHANGED: the window moved to another scale
}  // namespace msg

// WM_DPICHANGED's new scale, the low word of wParam (the high word repeats it).
template <class T, void (T::*F)(int)>
intptr_t CallDpiChangedHandler(CCmdTarget& target, uintptr_t wParam, intptr_t) {
    (static_cast<T&>(target).*F)(static_cast<int>(wParam & 0xFFFF));
    return 0;
}

// The system's scale: the one LoadAppIcon's icon is sized for.
int SystemDpi();
// The dots per inch `window` is drawn at.
int WindowDpi(const CWnd& window);
// Icon `id` of the program's resources at the size the window manager shows
// a window's big (or small) icon at `dpi`; null where it cannot be loaded.
// The caller releases it with DestroyAppIcon, once no window uses it any more.
IconHandle LoadAppIconForDpi(unsigned id, bool big, int dpi);
void DestroyAppIcon(IconHandle icon);
