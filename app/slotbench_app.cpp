#include "app/slotbench_app.h"

#include "log/session_file.h"
#include "platform/one_copy_per_folder.h"
#include "ui/slotbench_dlg.h"

// The one application object; the framework finds it at start-up.
CSlotBenchApp theApp;

CSlotBenchApp::~CSlotBenchApp() = default;

const MessageMap* CSlotBenchApp::GetMessageMap() const {
    // The framework's Help command goes to its default handler; a lambda here
    // may reach the inherited protected handler where a member pointer may not.
    static const MessageMapEntry kEntries[] = {
        {msg::kCommand, msg::kHelpCommand, msg::kButtonClicked,
         [](CCmdTarget& target, uintptr_t, intptr_t) -> intptr_t {
             static_cast<CSlotBenchApp&>(target).OnHelp();
             return 0;
         }},
    };
    static const MessageMap kMap = {CWinApp::GetMessageMap(), kEntries,
                                    sizeof kEntries / sizeof kEntries[0]};
    return &kMap;
}

bool CSlotBenchApp::InitInstance() {
    // A second copy in the same folder leaves the running one's files and run
    // alone: it shows that copy, or says why it ends where it cannot, and
    // ends before touching any file.
    if (!platform::ClaimCurrentFolder(kSessionFile)) {
        if (!platform::ShowCopyHoldingCurrentFolder()) platform::TellFolderHeldElsewhere();
        return false;
    }

    AfxEnableControlContainer();
    Enable3dControls();

    CSlotBenchDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    // The dialog is gone; the process ends instead of running a message loop.
    return false;
}
