// The line that opens every test run. Nothing is logged to the session file
// before a run starts, so a session file the tool wrote begins with it.
#pragma once

constexpr char kRunSeparator[] = "-------------------------------------------";
