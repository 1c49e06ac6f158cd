// Ending the process after an error the user must be told of.
#include <windows.h>

#include "platform/system.h"

void platform::ShowErrorAndEndProcess(WindowHandle owner, const std::string& caption, const std::string& text,
                                      int exitCode) {
    // The fault may come at the end of a minute's card wait, with the user
    // gone to another window: the box must not wait behind it unseen.
    MessageBoxA(static_cast<HWND>(owner), text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    // No library's detach code runs: the one whose call faulted may hang or
    // fault again in it. Our own files are closed by now.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
}
