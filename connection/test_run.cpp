// Start Test: the run's header, the environment, the terminal over the chosen
// link, and the verdict line.
#include <cstdio>
#include <string>

#include "log/run_separator.h"
#include "platform/system.h"
#include "res/resource.h"
#include "ui/slotbench_dlg.h"

namespace {

// The controls that could start a second run or change the link underneath
// the running one, with the state to give back when it ends. Disabling the
// focused Start Test moves the focus on to Exit; it comes back at the end,
// or the next Enter or Space meant for Start Test would end the tool.
struct RunControls {
    static constexpr int kIds[] = {IDC_START_TEST, IDC_USB, IDC_SERIAL, IDC_PORT_COMBO};
    bool enabled[4] = {};
    WindowHandle focus = nullptr;

    explicit RunControls(CDialog& dialog) : focus(CWnd::GetFocus()) {
        for (int i = 0; i < 4; ++i) {
            CWnd control(dialog.GetDlgItem(kIds[i]));
            enabled[i] = control.IsWindowEnabled();
            control.EnableWindow(false);
        }
    }

    void Restore(CDialog& dialog) const {
        for (int i = 0; i < 4; ++i) CWnd(dialog.GetDlgItem(kIds[i])).EnableWindow(enabled[i]);
        if (focus != nullptr) dialog.GotoDlgCtrl(focus);
    }
};

std::string LocalTimeText() {
    const platform::LocalTime t = platform::GetLocalTime();
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d", t.day, t.month, t.year,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace

void CSlotBenchDlg::OnStartTest() {
    if (m_runInProgress) return;
    m_runInProgress = true;
    const RunControls controls(*this);

    UpdateData(true);
    m_passed = true;
    LogText(kRunSeparator);
    LogMessage(IDS_CONNECTION_TEST);
    LogText(LocalTimeText());
    LogText(kRunSeparator);
    LogOsVersion();
    CheckCtApi();

    if (m_serial == 1) {
        TestReader(PortNumberFromName(GetDlgItemText(IDC_PORT_COMBO)));
        LogMessage(m_passed ? IDS_SERIAL_SUCCESS : IDS_SERIAL_FAIL);
    } else {
        WaitForUsbReader();
        LogMessage(m_passed ? IDS_USB_SUCCESS : IDS_USB_FAIL);
    }

    // Clicks and keys made while a library call or the pause blocked the
    // window are stale by now; none of them may start another run. A request
    // to leave among them is kept: the user asked to go, and the run has
    // finished logging.
    const bool leaveAsked = platform::DiscardQueuedInput(GetDlgItem(msg::kIdCancel));
    if (!m_faultedCall.empty()) {
        LeaveAfterLibraryFault();
        return;
    }
    controls.Restore(*this);
    m_runInProgress = false;

    if (m_exitRequested || leaveAsked) {
        m_exitRequested = false;
        OnCancel();
    }
}
