// The in-memory backend's state. Host tests set it up, run the logic and read
// back what the logic did. One global instance; Reset() before every test.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/framework.h"
#include "platform/system.h"

namespace fake {

// File operations that tests can make fail.
enum class FileOp { Open, Read, Write, Flush, Close, Copy, Remove };

struct FileFault {
    FileOp op;
    std::string name;      // the file it applies to; empty for any file
    int skip = 0;          // matching calls that still succeed first
    int times = 1 << 30;   // how many matching calls then fail
};

struct SerialValue {
    bool openable = true;
    // The value's bytes as stored (a terminating zero only where the test
    // puts one) and the value type (not examined by the tool).
    std::vector<uint8_t> data;
    // The value is present from this poll (1 = the first query) or from this
    // monotonic time on, whichever comes first; both "never" by default.
    int presentFromQuery = 1 << 30;
    uint64_t presentFromMs = UINT64_MAX;
    // Queries that fail as if the value were absent, by query number.
    std::set<int> failingQueries;
    // Whether the system can announce a change of the map, and whether the
    // wait asked it to.
    bool watchable = true;
    bool watched = false;
};

struct System {
    // Clocks: the monotonic one advances only through sleeps and waits; the
    // wall clock is what GetLocalTime reports and may jump on its own.
    uint64_t monotonicMs = 1000000;
    platform::LocalTime localTime{2009, 6, 23, 12, 43, 33};
    std::vector<uint32_t> sleeps;
    int waits = 0;
    // Called at every wait and sleep with the monotonic time, so a test can
    // act (plug in a terminal, click a button) at a chosen moment.
    std::function<void(uint64_t)> onTime;

    bool osVersionAvailable = true;
    platform::OsVersion osVersion{5, 1};

    std::set<std::string> existingFiles;
    uint32_t versionResourceSize = 1024;
    bool versionResourceReadable = true;
    bool hasFixedFileInfo = true;
    uint32_t fileVersionMs = 0x00040002;
    uint32_t fileVersionLs = 0x00000001;

    SerialValue serial;
    int serialQueries = 0;
    int keysOpen = 0;
    int keysOpened = 0;

    // Messages waiting in the thread's queue, run in order by pumping; a run
    // returns false for the quit message. Input (clicks, keys) can be dropped.
    struct QueuedMessage {
        bool input;
        std::function<bool()> run;
    };
    std::deque<QueuedMessage> messages;
    // The control with the keyboard focus, as far as the tool moved it.
    WindowHandle focus = nullptr;

    // Items the dialog templates' initialisation data puts in list-type
    // controls before start-up, by control id.
    std::map<int, std::vector<std::string>> initialItems;

    std::vector<FileFault> fileFaults;
    std::map<FileOp, int> fileOpCalls;
    // Bytes a file may grow to before writes fail as on a full disk; empty
    // for no limit.
    std::map<std::string, long> diskRoom;

    // The error box shown before the process was to end, if one was.
    struct ErrorBox {
        WindowHandle owner = nullptr;
        std::string caption;
        std::string text;
        int exitCode = 0;
        // Whether the session file "tmp" was still there when the box
        // showed: the exit steps must have run by then.
        bool sessionFileThere = false;
    };
    std::vector<ErrorBox> errorBoxes;
    // The system's scale, which new windows are drawn at, and every icon
    // loaded for a scale.
    int systemDpi = 96;
    struct ScaledIcon {
        unsigned id;
        bool big;
        int dpi;
        bool destroyed;
    };
    std::vector<ScaledIcon> scaledIcons;
    // Releases of an icon that was not loaded, or was released already.
    int badIconReleases = 0;
};

System& State();
void Reset();

// --- Windows --------------------------------------------------------------

struct MenuItem {
    unsigned flags;
    unsigned id;
    std::string text;
};

struct Window {
    int id = 0;
    std::string text;
    bool enabled = true;
    int check = 0;
    std::vector<std::string> items;
    // Called with each line as it goes into the list, before it is there.
    std::function<void(const std::string&)> onInsert;
    int currentSelection = -1;
    int selectionChanges = 0;
    int repaints = 0;
    std::map<int, Window> children;
    CDialog* dialog = nullptr;
    bool iconic = false;
    int dpi = 96;
    IconHandle bigIcon = nullptr;
    IconHandle smallIcon = nullptr;
    std::vector<MenuItem> systemMenu;
    CRect client{0, 0, 608, 370};
    struct IconDraw {
        int x, y;
        IconHandle icon;
    };
    std::vector<IconDraw> iconDraws;
    int iconBackgroundErases = 0;
    int defaultProcessing = 0;
    bool ended = false;
    int endResult = 0;
};

// Creates the dialog's window and runs its start-up, as a modal run would,
// but returns at once so the test can drive it.
Window& OpenDialog(CDialog& dialog);
Window& WindowOf(const CWnd& window);
Window& Control(const CDialog& dialog, int id);
// A mouse click on control `id`: an automatic check box toggles, then the
// dialog receives the click notification. Ignored when the control is disabled.
void Click(CDialog& dialog, int id);
// The dialog receives a command as from the keyboard or the system menu.
void Command(CDialog& dialog, int id);
void SysCommand(CDialog& dialog, unsigned id);
// The icon a handle from LoadAppIconForDpi stands for; null for any other.
const System::ScaledIcon* ScaledIconOf(IconHandle icon);
// Templates of the dialogs run modally through DoModal, in order.
std::vector<unsigned>& ModalRuns();

}  // namespace fake
