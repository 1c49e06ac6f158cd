// The main dialog: the one object that holds the tool's state while it runs.
// The test run, the reader exercise, the environment report, the USB wait and
// the result log are its member functions (connection/ and log/); the window's
// start-up and handlers are in slotbench_dlg.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/framework.h"
#include "platform/system.h"

// What became of the session file when the exit steps ran. Whoever tells the
// user where the log is must know, not assume, that it was saved.
enum class SessionSave {
    kSavedAsLog,         // copied to "QSX7100-K.log"
    kEmpty,              // nothing reached it: "QSX7100-K.log" was left as it was
    kLeftInSessionFile,  // not copied: its lines are in "tmp" still
    kNeverOpened,        // "tmp" could not be opened at start: no line reached a file
};

class CSlotBenchDlg : public CDialog {
public:
    explicit CSlotBenchDlg(CWnd* parent = nullptr);
    ~CSlotBenchDlg() override;

    // Window (slotbench_dlg.cpp)
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnSysCommand(unsigned id, intptr_t param);
    void OnPaint();
    IconHandle OnQueryDragIcon();
    void OnUsbClicked();
    void OnSerialClicked();
    void OnDpiChanged(int dpi);

    // Test run (connection/test_run.cpp)
    void OnStartTest();

    // Reader exercise (connection/reader_exercise.cpp)
    static uint16_t PortNumberFromName(const std::string& name);
    void TestReader(uint16_t port);

    // Library faults (connection/library_fault.cpp). After every library
    // call: logs the call's fault and fails the run; true when there was one.
    bool ReportLibraryFault();
    // The exit steps, the box that tells the user, and the end of the process.
    void LeaveAfterLibraryFault();

    // Environment report (connection/environment_report.cpp)
    void LogOsVersion();
    void CheckCtApi();

    // USB port discovery (connection/usb_port_discovery.cpp)
    void WaitForUsbReader();
    void PumpMessages();

    // Result log (log/result_log.cpp)
    void LogText(std::string text);
    void LogMessage(unsigned id);
    void OpenSessionLog();
    SessionSave CloseSessionLog();
    void OnClear();

    CButton m_serialButton;
    CButton m_usbButton;
    CComboBox m_portCombo;
    CListBox m_logList;
    int m_usb;
    int m_serial;
    IconHandle m_hIcon;
    bool m_passed;
    std::FILE* m_sessionLog;
    // A line could not be written to the session file (a failed write or
    // flush, a full disk): whatever holds the session may lack lines.
    bool m_sessionLinesLost = false;

    // Set while Start Test runs; the USB wait dispatches messages, and a
    // second run or the exit steps must not start underneath the first.
    bool m_runInProgress = false;
    // Exit was asked for while a run was in progress: the run stops at its
    // next chance and the exit steps follow once it has logged its verdict.
    bool m_exitRequested = false;
    // The library call that faulted; empty while none has. The library is
    // not called again, and the tool ends once the run has logged its verdict.
    std::string m_faultedCall;

    // The window's big and small icons, loaded while it is drawn at another
    // scale than the system's; null while m_hIcon is both.
    IconHandle m_bigIcon = nullptr;
    IconHandle m_smallIcon = nullptr;

protected:
    void SetIconsForDpi(int dpi);
    void DoDataExchange(CDataExchange* dx) override;
    const MessageMap* GetMessageMap() const override;
};
