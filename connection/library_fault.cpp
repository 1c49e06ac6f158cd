// A library that faults inside a call is reported, not allowed to take the
// tool down without a word: one line says which call and where, the run
// ends as failed without another call into the library (its state is
// unknown), the session is saved as on Exit, and a box tells the user before
// the tool ends.
#include "connection/library_fault.h"

#include <cinttypes>
#include <cstdio>

#include "platform/system.h"
#include "ui/slotbench_dlg.h"

std::string LibraryFaultLine(const platform::CtApiFault& fault) {
    char where[64];
    if (fault.module.empty()) {
        std::snprintf(where, sizeof where, "0x%0*" PRIX64, fault.addressDigits, fault.address);
    } else {
        std::snprintf(where, sizeof where, "+0x%08" PRIX64, fault.offset);
    }
    char code[16];
    std::snprintf(code, sizeof code, "%08" PRIX32, fault.code);
    return "CT-API fault in " + fault.call + ": exception " + code + " at " + fault.module + where;
}

std::string LibraryFaultBoxText(const std::string& call, SessionSave save, bool linesLost) {
    std::string where;
    switch (save) {
    case SessionSave::kSavedAsLog:
        where = "The log was saved as QSX7100-K.log in the current folder.";
        break;
    case SessionSave::kLeftInSessionFile:
        where = "This session's log could not be saved. Its lines are in the file tmp in the current folder.";
        break;
    case SessionSave::kEmpty:
    case SessionSave::kNeverOpened:
        // QSX7100-K.log still holds an earlier session: naming it would send
        // the user to the wrong lines.
        where = "This session's log could not be saved: none of its lines could be written to a file.";
        break;
    }
    // A line that never reached the session file is missing wherever the session was kept.
    const bool kept = save == SessionSave::kSavedAsLog || save == SessionSave::kLeftInSessionFile;
    if (kept && linesLost) where += " Some of its lines could not be written and may be missing.";
    return "The card-terminal library CT_ORB.dll failed inside " + call + ".\n\n" + where +
           "\n\nSlot Bench will now close.";
}

bool CSlotBenchDlg::ReportLibraryFault() {
    platform::CtApiFault fault;
    if (!platform::TakeCtApiFault(fault)) return false;
    LogText(LibraryFaultLine(fault));
    m_passed = false;
    m_faultedCall = fault.call;
    return true;
}

void CSlotBenchDlg::LeaveAfterLibraryFault() {
    const SessionSave save = CloseSessionLog();
    platform::ShowErrorAndEndProcess(m_hWnd, platform::kBoxCaption,
                                     LibraryFaultBoxText(m_faultedCall, save, m_sessionLinesLost),
                                     kLibraryFaultExitCode);
}
