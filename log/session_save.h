// What became of the session file when the exit steps ran. Whoever tells the
// user where the log is must know, not assume, that it was saved.
#pragma once

enum class SessionSave {
    kSavedAsLog,         // copied to "QSX7100-K.log"
    kEmpty,              // nothing reached it: "QSX7100-K.log" was left as it was
    kLeftInSessionFile,  // not copied: its lines are in "tmp" still
    kNeverOpened,        // "tmp" could not be opened at start: no line reached a file
};
