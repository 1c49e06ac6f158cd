// The main dialog's window: construction, data exchange, start-up, the link
// check boxes, the system menu, the icons at the window's display scale, the
// minimised icon and the way out.
#include "ui/slotbench_dlg.h"

#include "res/resource.h"
#include "ui/about_dlg.h"

CSlotBenchDlg::CSlotBenchDlg(CWnd* parent)
    : CDialog(IDD_SLOTBENCH_DIALOG, parent),
      m_usb(0),
      m_serial(0),
      m_hIcon(LoadAppIcon(IDR_MAINFRAME)),
      m_passed(true),
      m_sessionLog(nullptr) {}

CSlotBenchDlg::~CSlotBenchDlg() {
    // The window, the icons' last user, is gone by now.
    DestroyAppIcon(m_bigIcon);
    DestroyAppIcon(m_smallIcon);
}

void CSlotBenchDlg::DoDataExchange(CDataExchange* dx) {
    CDialog::DoDataExchange(dx);
    DDX_Control(dx, IDC_SERIAL, m_serialButton);
    DDX_Control(dx, IDC_USB, m_usbButton);
    DDX_Control(dx, IDC_PORT_COMBO, m_portCombo);
    DDX_Control(dx, IDC_LOG_LIST, m_logList);
    DDX_Check(dx, IDC_USB, m_usb);
    DDX_Check(dx, IDC_SERIAL, m_serial);
}

const MessageMap* CSlotBenchDlg::GetMessageMap() const {
    using D = CSlotBenchDlg;
    static const MessageMapEntry kEntries[] = {
        {msg::kSysCommand, 0, 0, &CallSysCommandHandler<D, &D::OnSysCommand>},
        {msg::kPaint, 0, 0, &CallHandler<D, &D::OnPaint>},
        {msg::kQueryDragIcon, 0, 0, &CallIconHandler<D, &D::OnQueryDragIcon>},
        {msg::kCommand, IDC_USB, msg::kButtonClicked, &CallHandler<D, &D::OnUsbClicked>},
        {msg::kCommand, IDC_SERIAL, msg::kButtonClicked, &CallHandler<D, &D::OnSerialClicked>},
        {msg::kCommand, IDC_CLEAR, msg::kButtonClicked, &CallHandler<D, &D::OnClear>},
        {msg::kCommand, IDC_START_TEST, msg::kButtonClicked, &CallHandler<D, &D::OnStartTest>},
        {msg::kDpiChanged, 0, 0, &CallDpiChangedHandler<D, &D::OnDpiChanged>},
    };
    static const MessageMap kMap = {CDialog::GetMessageMap(), kEntries,
                                    sizeof kEntries / sizeof kEntries[0]};
    return &kMap;
}

bool CSlotBenchDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    const std::string aboutMenu = platform::MessageText(IDS_ABOUTBOX);
    if (!aboutMenu.empty()) {
        AppendToSystemMenu(kMenuSeparator, 0, std::string());
        AppendToSystemMenu(kMenuString, IDM_ABOUTBOX, aboutMenu);
    }

    SetIconsForDpi(WindowDpi(*this));

    m_passed = true;
    m_portCombo.SetCurSel(0);
    m_usbButton.SetCheck(1);
    m_portCombo.EnableWindow(false);

    OpenSessionLog();
    return true;
}

void CSlotBenchDlg::OnOK() {
    // Enter on the list, the combo box or a check box lands here (there is no
    // OK button): ending the dialog now would skip the exit steps and lose
    // the session's log, so Enter does nothing there. Enter on a push button
    // presses that button before it ever gets here.
}

void CSlotBenchDlg::OnCancel() {
    if (m_runInProgress) {
        // The USB wait is dispatching this click; the run stops, logs its
        // verdict, and then leaves through here once more.
        m_exitRequested = true;
        return;
    }
    CloseSessionLog();
    CDialog::OnCancel();
}

void CSlotBenchDlg::OnSysCommand(unsigned id, intptr_t) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
    } else {
        Default();
    }
}

void CSlotBenchDlg::OnPaint() {
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(msg::kIconEraseBackground, dc.GetSafeHdc(), 0);
    const int iconWidth = SystemMetric(kSmCxIcon);
    const int iconHeight = SystemMetric(kSmCyIcon);
    CRect client;
    GetClientRect(client);
    const int x = (client.Width() - iconWidth + 1) / 2;
    const int y = (client.Height() - iconHeight + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

IconHandle CSlotBenchDlg::OnQueryDragIcon() { return m_hIcon; }

void CSlotBenchDlg::SetIconsForDpi(int dpi) {
    // m_hIcon has the system's size. On a monitor of another scale the
    // caption, the task bar and Alt+Tab would show it stretched: pictures
    // drawn for that size are loaded there instead.
    IconHandle big = nullptr;
    IconHandle smallIcon = nullptr;
    if (dpi != SystemDpi()) {
        big = LoadAppIconForDpi(IDR_MAINFRAME, true, dpi);
        smallIcon = LoadAppIconForDpi(IDR_MAINFRAME, false, dpi);
    }
    SetIcon(big != nullptr ? big : m_hIcon, true);
    SetIcon(smallIcon != nullptr ? smallIcon : m_hIcon, false);
    // The window has let go of the pair it had.
    DestroyAppIcon(m_bigIcon);
    DestroyAppIcon(m_smallIcon);
    m_bigIcon = big;
    m_smallIcon = smallIcon;
}

void CSlotBenchDlg::OnDpiChanged(int dpi) {
    // The message carries the new scale; asking for it instead, a system
    // without the per-window call would answer with its own.
    SetIconsForDpi(dpi);
    // The dialog manager moves the window to its new size and rescales the
    // controls and their font.
    Default();
}

void CSlotBenchDlg::OnUsbClicked() {
    UpdateData(true);
    if (m_usb == 1) {
        m_serialButton.SetCheck(0);
        m_portCombo.EnableWindow(false);
    }
}

void CSlotBenchDlg::OnSerialClicked() {
    UpdateData(true);
    if (m_serial == 1) {
        m_usbButton.SetCheck(0);
        m_portCombo.EnableWindow(true);
    }
}
