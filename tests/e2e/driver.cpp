// slotbench_driver: drives the running tool from outside, the way a user
// would, for the end-to-end suite. Runs as its own process under the same
// wine server, so every query goes through real cross-process messages.
//
// Usage: slotbench_driver COMMAND [ARGS] [; COMMAND [ARGS]]...
// Commands run in order; the first one that fails ends the program with
// exit code 1 (2 for a usage error). Texts are printed as UTF-8, one per line.
//
//   wait-window SECONDS        find the main window (all later commands use it)
//   wait-about SECONDS         find the About box; prints its caption and texts
//   close-about                press the About box's OK button
//   wait-about-gone SECONDS    until no About box is left
//   wait-gone SECONDS          until the main window is gone
//   state                      check states, enabled states, combo text, count
//   list                       every line of the list, "N: text"
//   count                      the number of lines in the list
//   wait-text TEXT SECONDS     until a line of the list equals TEXT (a line
//                              feed at the end of the line is not compared)
//   wait-count N SECONDS       until the list holds at least N lines
//   click ID                   BM_CLICK, sent: returns once the handler ran
//   post-click ID              BM_CLICK, posted: returns at once
//   command ID                 WM_COMMAND/BN_CLICKED from control ID, posted
//   set-combo TEXT             the combo box's edit text, as if typed
//   select-combo TEXT          pick the listed item TEXT in the combo box
//   enabled                    enabled states only: answers even while the
//                              tool's thread is blocked in a library call
//   enter ID                   focus control ID, then post Enter to it
//   escape ID                  focus control ID, then post Escape to it
//   close-box                  the window's close box (SC_CLOSE), posted
//   about                      the system menu's About entry (0x10), posted
//   plug PORT / unplug         set / delete \Device\USBSER000 in the serial map
//   plug-timed PORT TRACE SECONDS
//                              plug, then wait for a CT_init line in the
//                              simulator's TRACE file; prints the delay in ms
//   mouse-click ID             a user's click on control ID: button down and
//                              up at its centre, posted as the mouse would
//                              queue them (works while the tool is blocked)
//   key NAME                   escape, alt-f4, system-f4 (F4 as a system key
//                              without Alt) or enter, posted to the
//                              window with the keyboard focus as the keyboard
//                              would (works while the tool is blocked)
//   focus                      the id of the control with the keyboard focus
//                              ("focus=none" when no control has it)
//   minimize                   minimises the main window
//   iconic                     iconic=1 while the main window is minimised
//   sleep MS
//   pid                        the process id that owns the main window
//   wait-error-box SECONDS     find the tool's error box (caption "Slot Bench");
//                              prints owner=main|other|none, its text, its
//                              buttons and the red pixels of its icon
//   press-box-ok               press the error box's OK button
//   layout                     the display's scale and what the main window
//                              shows at it: "dpi=N", "control=ID X Y W H" (client
//                              coordinates) for each control, the list's
//                              "item_height=", "list_width=" (its client
//                              area) and "widest_line=" (the
//                              longest line's extent in the template's face
//                              at the list's line height), in pixels
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kMainCaption[] = L"QSX 7100-K Slot Bench";
const wchar_t kAboutCaption[] = L"A propos de Slot_Bench";
const wchar_t kErrorBoxCaption[] = L"Slot Bench";
const wchar_t kSerialMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t kUsbSerialValue[] = L"\\Device\\USBSER000";

// How long one query may wait for the tool's thread. The tool blocks inside
// library calls; a query must not hang the suite, and a wait loop retries.
constexpr UINT kQueryTimeoutMs = 2000;

HWND g_main = nullptr;
HWND g_about = nullptr;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

// Line ends inside a list entry would break the one-entry-per-line output.
std::string Printable(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

void Say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool Fail(const std::string& why) {
    std::fprintf(stderr, "driver: %s\n", why.c_str());
    std::fflush(stderr);
    return false;
}

// A message sent to the tool's thread that gives up after kQueryTimeoutMs.
bool Query(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    DWORD_PTR value = 0;
    if (!SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK, kQueryTimeoutMs,
                             &value)) {
        return false;
    }
    result = static_cast<LRESULT>(value);
    return true;
}

bool HaveMainWindow() { return (g_main && IsWindow(g_main)) || Fail("no main window (use wait-window first)"); }

bool Control(int id, HWND& control) {
    if (!HaveMainWindow()) return false;
    control = GetDlgItem(g_main, id);
    if (!control) return Fail("no control with id " + std::to_string(id));
    return true;
}

HWND FindTopLevel(const wchar_t* caption) { return FindWindowW(nullptr, caption); }

bool WaitFor(const wchar_t* caption, double seconds, HWND& found) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
        found = FindTopLevel(caption);
        if (found && IsWindowVisible(found)) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(50);
    }
}

bool WaitGone(HWND hwnd, const wchar_t* caption, double seconds) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
        const bool gone = (!hwnd || !IsWindow(hwnd)) && !FindTopLevel(caption);
        if (gone) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(50);
    }
}

// Wine returns UTF-16 for a cross-process ANSI LB_GETTEXT, so only the wide
// message is used.
bool ReadList(std::vector<std::wstring>& lines) {
    HWND list = nullptr;
    if (!Control(1002, list)) return false;
    LRESULT count = 0;
    if (!Query(list, LB_GETCOUNT, 0, 0, count) || count < 0) return false;
    lines.clear();
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = 0;
        if (!Query(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, length) || length < 0) return false;
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 64, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer.data()),
                                 SMTO_ABORTIFHUNG | SMTO_BLOCK, kQueryTimeoutMs, &copied)) {
            return false;
        }
        lines.emplace_back(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
    }
    return true;
}

bool WindowText(HWND hwnd, std::wstring& text) {
    LRESULT length = 0;
    if (!Query(hwnd, WM_GETTEXTLENGTH, 0, 0, length) || length < 0) return false;
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 64, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, kQueryTimeoutMs, &copied)) {
        return false;
    }
    text.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
    return true;
}

bool SetSerialValue(const wchar_t* port) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    // The key is volatile: wine rebuilds it with every server start.
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                              nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) return Fail("cannot open the serial device map (" + std::to_string(rc) + ")");
    if (port) {
        const DWORD bytes = static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t));
        rc = RegSetValueExW(key, kUsbSerialValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(port), bytes);
    } else {
        rc = RegDeleteValueW(key, kUsbSerialValue);
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail("cannot change the serial device map (" + std::to_string(rc) + ")");
    return true;
}

bool FileHasInitLine(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    char line[1024];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::strncmp(line, "CT_init ", 8) == 0;
    std::fclose(f);
    return found;
}

// A key press and release, posted to `target` as the keyboard would queue
// them: as system keys when `system`, with Alt held when `alt`. (With no
// window focused, the system sends every key as a system key, Alt or not.)
bool PostKeystroke(HWND target, WPARAM key, bool system = false, bool alt = false) {
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), 0);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    if (alt) down |= 1L << 29;  // the context code: Alt is held
    const LPARAM up = down | (1L << 30) | (1L << 31);
    if (!PostMessageW(target, system ? WM_SYSKEYDOWN : WM_KEYDOWN, key, down) ||
        !PostMessageW(target, system ? WM_SYSKEYUP : WM_KEYUP, key, up))
        return Fail("cannot post the key");
    return true;
}

// Focus goes through the dialog's own WM_NEXTDLGCTL, which works across
// processes where SetFocus does not.
bool PostKey(int id, WPARAM key) {
    HWND control = nullptr;
    if (!Control(id, control)) return false;
    LRESULT ignored = 0;
    if (!Query(g_main, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE, ignored))
        return Fail("the dialog does not answer");
    // A combo box with an edit field keeps the focus in its edit child.
    HWND target = control;
    if (HWND edit = FindWindowExW(control, nullptr, L"Edit", nullptr)) target = edit;
    if (!PostKeystroke(target, key)) return false;
    // Let the dialog's loop take both keys before anything else is asked.
    Query(g_main, WM_NULL, 0, 0, ignored);
    return true;
}

// The tool's focus window, read without asking its (maybe blocked) thread.
HWND FocusOfMainThread() {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(g_main, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

bool PostMouseClick(int id) {
    HWND control = nullptr;
    if (!Control(id, control)) return false;
    RECT r{};
    GetClientRect(control, &r);
    const LPARAM at = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
    if (!PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at) || !PostMessageW(control, WM_LBUTTONUP, 0, at))
        return Fail("cannot post the click");
    return true;
}

// To the tool's focus window, without asking its thread: works while the
// tool is blocked.
bool PostKeyToFocus(const std::string& name) {
    if (!HaveMainWindow()) return false;
    const struct {
        const char* name;
        WPARAM key;
        bool system;
        bool alt;
    } kKeys[] = {{"escape", VK_ESCAPE, false, false},
                 {"enter", VK_RETURN, false, false},
                 {"alt-f4", VK_F4, true, true},
                 {"system-f4", VK_F4, true, false}};
    HWND target = FocusOfMainThread();
    for (const auto& k : kKeys) {
        if (name == k.name) return PostKeystroke(target ? target : g_main, k.key, k.system, k.alt);
    }
    return Fail("unknown key " + name);
}

// The error box: a system message box, so a dialog of the standard class.
HWND ErrorBox() { return FindWindowW(L"#32770", kErrorBoxCaption); }

// The icon's look, read off the screen: the error icon is mostly red, the
// warning and information icons are not. (The icon's handle belongs to the
// tool's process and says nothing here.)
int RedPixels(HWND icon) {
    RECT r{};
    if (!GetWindowRect(icon, &r)) return -1;
    HDC screen = GetDC(nullptr);
    int red = 0;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            const COLORREF c = GetPixel(screen, x, y);
            if (c != CLR_INVALID && GetRValue(c) > 150 && GetGValue(c) < 90 && GetBValue(c) < 90) ++red;
        }
    }
    ReleaseDC(nullptr, screen);
    return red;
}

bool DescribeErrorBox(double seconds) {
    HWND box = nullptr;
    if (!WaitFor(kErrorBoxCaption, seconds, box) || box != ErrorBox()) return Fail("no error box");
    const HWND owner = GetWindow(box, GW_OWNER);
    Say(std::string("owner=") + (owner == nullptr ? "none" : owner == FindTopLevel(kMainCaption) ? "main" : "other"));
    std::string buttons;
    int red = -1;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        std::wstring text;
        WindowText(child, text);
        if (wcscmp(className, L"Button") == 0) {
            buttons += (buttons.empty() ? "" : ",") + Printable(text);
        } else if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            red = RedPixels(child);
        } else if (!text.empty()) {
            Say("text=" + Printable(text));
        }
    }
    Say("buttons=" + buttons);
    Say("icon_red_pixels=" + std::to_string(red));
    return true;
}

std::wstring WithoutLineEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

// The driver reads and posts coordinates as they are on screen: run
// per-monitor aware (at run time; only newer systems have the call), or the
// window manager would hand it every size scaled back to 96 dots per inch.
void SeeTheRealScale() {
    using SetContext = BOOL(WINAPI*)(HANDLE);
    if (HMODULE user = GetModuleHandleW(L"user32.dll")) {
        auto set = reinterpret_cast<SetContext>(
            reinterpret_cast<void*>(GetProcAddress(user, "SetProcessDpiAwarenessContext")));
        if (set) set(reinterpret_cast<HANDLE>(-4));  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
    }
}

// The display's dots per inch. Wine answers GetDpiForWindow for another
// process's window with 96 whatever the scale; the screen's is the one its
// windows are drawn at.
int DisplayDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

bool SayLayout() {
    if (!HaveMainWindow()) return false;
    const int dpi = DisplayDpi();
    Say("dpi=" + std::to_string(dpi));
    for (int id : {2, 1000, 1001, 1002, 1003, 1004, 1005, 1006}) {
        HWND control = nullptr;
        if (!Control(id, control)) return false;
        RECT r{};
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, g_main, reinterpret_cast<POINT*>(&r), 2);
        Say("control=" + std::to_string(id) + " " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
            std::to_string(r.right - r.left) + " " + std::to_string(r.bottom - r.top));
    }
    HWND list = nullptr;
    if (!Control(1002, list)) return false;
    LRESULT itemHeight = 0;
    if (!Query(list, LB_GETITEMHEIGHT, 0, 0, itemHeight)) return Fail("the list does not answer");
    RECT client{};
    GetClientRect(list, &client);
    Say("item_height=" + std::to_string(itemHeight));
    Say("list_width=" + std::to_string(client.right - client.left));

    // The list's font cannot be read from another process: the template's
    // face at the list's line height (a list box's line is its font's cell)
    // stands in for it, for the width lines take.
    HDC screen = GetDC(nullptr);
    LOGFONTW font{};
    font.lfCharSet = DEFAULT_CHARSET;
    wcscpy(font.lfFaceName, L"MS Sans Serif");
    font.lfHeight = static_cast<LONG>(itemHeight);
    HFONT made = CreateFontIndirectW(&font);
    HGDIOBJ old = SelectObject(screen, made);
    std::vector<std::wstring> lines;
    int widest = 0;
    if (ReadList(lines)) {
        for (const std::wstring& line : lines) {
            const std::wstring shown = WithoutLineEnd(line);
            SIZE extent{};
            GetTextExtentPoint32W(screen, shown.c_str(), static_cast<int>(shown.size()), &extent);
            if (extent.cx > widest) widest = extent.cx;
        }
    }
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    DeleteObject(made);
    Say("widest_line=" + std::to_string(widest));
    return true;
}

int Number(const std::string& text) { return static_cast<int>(std::strtol(text.c_str(), nullptr, 0)); }
double Seconds(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

struct Command {
    const char* name;
    int arguments;
};

const Command kCommands[] = {
    {"wait-window", 1}, {"wait-about", 1}, {"close-about", 0}, {"wait-about-gone", 1}, {"wait-gone", 1},
    {"state", 0},       {"list", 0},       {"count", 0},       {"wait-text", 2},       {"wait-count", 2},
    {"click", 1},       {"post-click", 1}, {"command", 1},     {"set-combo", 1},       {"enter", 1},
    {"escape", 1},      {"close-box", 0},  {"about", 0},       {"plug", 1},            {"unplug", 0},
    {"plug-timed", 3},  {"sleep", 1},      {"pid", 0},        {"select-combo", 1},    {"enabled", 0},
    {"mouse-click", 1}, {"key", 1},        {"focus", 0},      {"minimize", 0},        {"iconic", 0},
    {"wait-error-box", 1}, {"press-box-ok", 0},
    {"layout", 0},
};

bool SayEnabled() {
    const struct {
        const char* name;
        int id;
    } kControls[] = {{"usb", 1000}, {"serial", 1001}, {"combo", 1004},
                     {"start", 1005}, {"clear", 1003}, {"exit", 2}};
    for (const auto& c : kControls) {
        HWND control = nullptr;
        if (!Control(c.id, control)) return false;
        Say(std::string(c.name) + "_enabled=" + std::to_string(IsWindowEnabled(control) ? 1 : 0));
    }
    return true;
}

bool Run(const std::string& name, const std::vector<std::string>& args, const std::vector<std::wstring>& wargs) {
    if (name == "wait-window") {
        if (!WaitFor(kMainCaption, Seconds(args[0]), g_main)) return Fail("main window not found");
        return true;
    }
    if (name == "wait-about") {
        if (!WaitFor(kAboutCaption, Seconds(args[0]), g_about)) return Fail("About box not found");
        std::wstring caption;
        WindowText(g_about, caption);
        Say("caption: " + Printable(caption));
        for (HWND child = GetWindow(g_about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            std::wstring text;
            if (WindowText(child, text) && !text.empty())
                Say("item " + std::to_string(GetDlgCtrlID(child)) + ": " + Printable(text));
        }
        return true;
    }
    if (name == "close-about") {
        if (!g_about) g_about = FindTopLevel(kAboutCaption);
        if (!g_about) return Fail("no About box");
        HWND ok = GetDlgItem(g_about, IDOK);
        if (!ok) return Fail("the About box has no OK button");
        return PostMessageW(ok, BM_CLICK, 0, 0) != 0 || Fail("cannot press OK");
    }
    if (name == "wait-about-gone") {
        return WaitGone(g_about, kAboutCaption, Seconds(args[0])) || Fail("the About box is still open");
    }
    if (name == "wait-gone") {
        return WaitGone(g_main, kMainCaption, Seconds(args[0])) || Fail("the main window is still open");
    }
    if (name == "state") {
        HWND usb, serial, combo, start, exitButton, clear, list;
        if (!Control(1000, usb) || !Control(1001, serial) || !Control(1004, combo) || !Control(1005, start) ||
            !Control(2, exitButton) || !Control(1003, clear) || !Control(1002, list)) {
            return false;
        }
        LRESULT usbCheck = 0, serialCheck = 0, count = 0;
        std::wstring comboText;
        if (!Query(usb, BM_GETCHECK, 0, 0, usbCheck) || !Query(serial, BM_GETCHECK, 0, 0, serialCheck) ||
            !WindowText(combo, comboText) || !Query(list, LB_GETCOUNT, 0, 0, count)) {
            return Fail("the dialog does not answer");
        }
        Say("usb=" + std::to_string(usbCheck));
        Say("serial=" + std::to_string(serialCheck));
        Say("combo=" + Printable(comboText));
        if (!SayEnabled()) return false;
        Say("count=" + std::to_string(count));
        return true;
    }
    if (name == "list") {
        std::vector<std::wstring> lines;
        if (!ReadList(lines)) return Fail("cannot read the list");
        for (size_t i = 0; i < lines.size(); ++i) Say(std::to_string(i) + ": " + Printable(lines[i]));
        return true;
    }
    if (name == "count") {
        HWND list = nullptr;
        LRESULT count = 0;
        if (!Control(1002, list)) return false;
        if (!Query(list, LB_GETCOUNT, 0, 0, count)) return Fail("the list does not answer");
        Say(std::to_string(count));
        return true;
    }
    if (name == "wait-text" || name == "wait-count") {
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(Seconds(args[1]) * 1000);
        const int wanted = Number(args[0]);
        for (;;) {
            std::vector<std::wstring> lines;
            if (g_main && !IsWindow(g_main)) return Fail("the main window went away");
            if (ReadList(lines)) {
                if (name == "wait-count" && static_cast<int>(lines.size()) >= wanted) return true;
                if (name == "wait-text") {
                    for (const std::wstring& line : lines) {
                        if (WithoutLineEnd(line) == WithoutLineEnd(wargs[0])) return true;
                    }
                }
            }
            if (GetTickCount64() >= end) {
                if (name == "wait-text") return Fail("timed out waiting for the line '" + args[0] + "'");
                return Fail("timed out waiting for " + args[0] + " lines");
            }
            Sleep(50);
        }
    }
    if (name == "click" || name == "post-click") {
        HWND control = nullptr;
        if (!Control(Number(args[0]), control)) return false;
        if (name == "post-click") return PostMessageW(control, BM_CLICK, 0, 0) != 0 || Fail("cannot post");
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutW(control, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 120000, &ignored))
            return Fail("the click was not handled");
        return true;
    }
    if (name == "command") {
        HWND control = nullptr;
        const int id = Number(args[0]);
        if (!Control(id, control)) return false;
        return PostMessageW(g_main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control)) !=
                   0 ||
               Fail("cannot post");
    }
    if (name == "set-combo") {
        HWND combo = nullptr;
        if (!Control(1004, combo)) return false;
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutW(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wargs[0].c_str()),
                                 SMTO_ABORTIFHUNG | SMTO_BLOCK, kQueryTimeoutMs, &ignored)) {
            return Fail("the combo box does not answer");
        }
        return true;
    }
    if (name == "enabled") return SayEnabled();
    if (name == "select-combo") {
        HWND combo = nullptr;
        if (!Control(1004, combo)) return false;
        LRESULT index = CB_ERR;
        if (!Query(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(wargs[0].c_str()),
                   index)) {
            return Fail("the combo box does not answer");
        }
        return index != CB_ERR || Fail("the combo box has no item " + args[0]);
    }
    if (name == "enter") return PostKey(Number(args[0]), VK_RETURN);
    if (name == "escape") return PostKey(Number(args[0]), VK_ESCAPE);
    if (name == "close-box" || name == "about") {
        if (!HaveMainWindow()) return false;
        const WPARAM command = name == "close-box" ? SC_CLOSE : 0x10;
        return PostMessageW(g_main, WM_SYSCOMMAND, command, 0) != 0 || Fail("cannot post");
    }
    if (name == "plug") return SetSerialValue(wargs[0].c_str());
    if (name == "unplug") return SetSerialValue(nullptr);
    if (name == "plug-timed") {
        const ULONGLONG start = GetTickCount64();
        if (!SetSerialValue(wargs[0].c_str())) return false;
        const ULONGLONG end = start + static_cast<ULONGLONG>(Seconds(args[2]) * 1000);
        for (;;) {
            if (FileHasInitLine(wargs[1])) {
                Say("init_after_ms=" + std::to_string(GetTickCount64() - start));
                return true;
            }
            if (GetTickCount64() >= end) return Fail("no CT_init in the trace");
            Sleep(10);
        }
    }
    if (name == "mouse-click") return PostMouseClick(Number(args[0]));
    if (name == "key") return PostKeyToFocus(args[0]);
    if (name == "focus" || name == "minimize" || name == "iconic") {
        if (!HaveMainWindow()) return false;
        HWND focus = FocusOfMainThread();
        if (name == "focus") Say(focus ? "focus=" + std::to_string(GetDlgCtrlID(focus)) : "focus=none");
        if (name == "minimize") ShowWindowAsync(g_main, SW_MINIMIZE);
        if (name == "iconic") Say(std::string("iconic=") + (IsIconic(g_main) ? "1" : "0"));
        return true;
    }
    if (name == "wait-error-box") return DescribeErrorBox(Seconds(args[0]));
    if (name == "press-box-ok") {
        HWND box = ErrorBox();
        if (!box) return Fail("no error box");
        HWND ok = GetDlgItem(box, IDOK);
        if (!ok) return Fail("the error box has no OK button");
        return PostMessageW(ok, BM_CLICK, 0, 0) != 0 || Fail("cannot press OK");
    }
    if (name == "sleep") {
        Sleep(static_cast<DWORD>(Number(args[0])));
        return true;
    }
    if (name == "layout") return SayLayout();
    if (name == "pid") {
        if (!HaveMainWindow()) return false;
        DWORD pid = 0;
        GetWindowThreadProcessId(g_main, &pid);
        Say(std::to_string(pid));
        return true;
    }
    return Fail("unknown command " + name);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Plain LF line ends, whatever reads the output.
    _setmode(_fileno(stdout), _O_BINARY);
    SeeTheRealScale();
    std::vector<std::wstring> words(argv + 1, argv + argc);
    g_main = FindTopLevel(kMainCaption);
    size_t i = 0;
    while (i < words.size()) {
        if (words[i] == L";") {
            ++i;
            continue;
        }
        const std::string name = Utf8(words[i]);
        const Command* command = nullptr;
        for (const Command& c : kCommands) {
            if (name == c.name) command = &c;
        }
        if (!command) {
            Fail("unknown command '" + name + "'");
            return 2;
        }
        if (i + 1 + static_cast<size_t>(command->arguments) > words.size()) {
            Fail(name + " needs " + std::to_string(command->arguments) + " argument(s)");
            return 2;
        }
        std::vector<std::string> args;
        std::vector<std::wstring> wargs;
        for (int k = 0; k < command->arguments; ++k) {
            wargs.push_back(words[i + 1 + static_cast<size_t>(k)]);
            args.push_back(Utf8(wargs.back()));
        }
        i += 1 + static_cast<size_t>(command->arguments);
        if (!Run(name, args, wargs)) return 1;
    }
    return 0;
}
