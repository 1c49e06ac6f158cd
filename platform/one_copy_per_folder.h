// One copy of the tool per folder. Two copies in one folder would write the
// same session file, and the second one's start would take the first one's
// live session for a lost one. Copies in different folders do not meet.
#pragma once

namespace platform {

// True when no other copy of the tool holds the folder of `sessionFile`, a
// file name in the current folder, under whatever name and from whatever
// computer it reached it. From then on, until ReleaseCurrentFolder or the
// end of the process (however it ends), other copies are told so. Opens the
// file, creating it empty where there is none, and leaves it open. When the
// system cannot tell, the answer is true: the tool then runs as it always
// did.
bool ClaimCurrentFolder(const char* sessionFile);

// Brings the window of the copy that holds the current folder to the front
// (restored if it was minimised); false when no such window can be found
// (the copy runs on another computer, or under a name this one cannot
// match). Waits a few seconds for that window when the other copy is still
// starting.
bool ShowCopyHoldingCurrentFolder();

// Tells the user that another copy, whose window cannot be shown, holds the
// folder, and returns once the box is closed.
void TellFolderHeldElsewhere();

// Gives up the claim once the session file is gone, so that a copy started
// while this one is still ending finds neither the claim nor a file that is
// being removed.
void ReleaseCurrentFolder();

}  // namespace platform
