// One copy of the tool per folder. Two copies in one folder would write the
// same session file, and the second one's start would take the first one's
// live session for a lost one. Copies in different folders do not meet.
#pragma once

namespace platform {

// True when no other copy of the tool runs with the same current folder.
// From then on, until this process ends (however it ends), copies started in
// that folder are told so. When the system cannot tell, the answer is true:
// the tool then runs as it always did.
bool ClaimCurrentFolder();

// Brings the window of the copy that holds the current folder to the front
// (restored if it was minimised). Waits a few seconds for that window when
// the other copy is still starting.
void ShowCopyHoldingCurrentFolder();

}  // namespace platform
