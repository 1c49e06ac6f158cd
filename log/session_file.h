// The file a session writes its lines to, in the current folder. Whoever
// holds it open and locked holds the folder's log files.
#pragma once

constexpr char kSessionFile[] = "tmp";
