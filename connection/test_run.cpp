// Start Test: the run's header, the environment, the terminal over the chosen
// link, and the verdict line.
#include <cstdio>
#include <string>

#include "platform/system.h"
#include "res/resource.h"
#include "ui/slotbench_dlg.h"

namespace {

constexpr char kSeparator[] = "-------------------------------------------";

// The controls that could start a second run or change the link underneath
// the running one, with the state to give back when it ends.
struct RunControls {
    static constexpr int kIds[] = {IDC_START_TEST, IDC_USB, IDC_SERIAL, IDC_PORT_COMBO};
    bool enabled[4] = {};

    explicit RunControls(CWnd& dialog) {
        for (int i = 0; i < 4; ++i) {
            CWnd control(dialog.GetDlgItem(kIds[i]));
            enabled[i] = control.IsWindowEnabled();
            control.EnableWindow(false);
        }
    }

    void Restore(CWnd& dialog) const {
        for (int i = 0; i < 4; ++i) CWnd(dialog.GetDlgItem(kIds[i])).EnableWindow(enabled[i]);
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
    LogText(kSeparator);
    LogMessage(IDS_CONNECTION_TEST);
    LogText(LocalTimeText());
    LogText(kSeparator);
    LogOsVersion();
    CheckCtApi();

    if (m_serial == 1) {
        TestReader(PortNumberFromName(GetDlgItemText(IDC_PORT_COMBO)));
        LogMessage(m_passed ? IDS_SERIAL_SUCCESS : IDS_SERIAL_FAIL);
    } else {
        WaitForUsbReader();
        LogMessage(m_passed ? IDS_USB_SUCCESS : IDS_USB_FAIL);
    }

    // Clicks made while a library call or the pause blocked the window are
    // stale by now; none of them may start another run.
    platform::DiscardQueuedInput();
    controls.Restore(*this);
    m_runInProgress = false;

    if (m_exitRequested) {
        m_exitRequested = false;
        OnCancel();
    }
}
