// The system services over Win32: each function is one platform call, its
// result translated into what platform/system.h promises.
#include "platform/system.h"

#include <windows.h>

#include <cstdio>

namespace platform {

// --- Messages ---------------------------------------------------------------

bool LoadMessage(unsigned id, std::string& text) {
    // The longest message is well under this; LoadStringA truncates safely.
    char buffer[512];
    const int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, sizeof buffer);
    if (length <= 0) return false;
    text.assign(buffer, static_cast<size_t>(length));
    return true;
}

// --- Clock ------------------------------------------------------------------

LocalTime GetLocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

uint64_t MonotonicMilliseconds() {
    // From Windows XP on the system itself keeps the performance counter,
    // on whatever timer the machine has, so neither call can fail there; the
    // program starts on nothing older.
    static const uint64_t frequency = [] {
        LARGE_INTEGER perSecond{};
        QueryPerformanceFrequency(&perSecond);
        return static_cast<uint64_t>(perSecond.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    // Split so that the multiplication cannot overflow on a fast counter.
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

// --- Environment ------------------------------------------------------------

bool GetOsVersion(OsVersion& version) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return false;
    version.major = info.dwMajorVersion;
    version.minor = info.dwMinorVersion;
    return true;
}

bool FileExists(const char* path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

uint32_t GetVersionResourceSize(const char* path) {
    DWORD ignored = 0;
    return GetFileVersionInfoSizeA(path, &ignored);
}

bool ReadVersionResource(const char* path, uint32_t size, void* buffer) {
    return GetFileVersionInfoA(path, 0, size, buffer) != 0;
}

bool QueryFixedFileVersion(const void* buffer, uint32_t& versionMs, uint32_t& versionLs) {
    void* block = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(buffer, "\\", &block, &length) || block == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(block);
    versionMs = info->dwFileVersionMS;
    versionLs = info->dwFileVersionLS;
    return true;
}

// --- Serial device map ------------------------------------------------------

bool OpenSerialDeviceMap(RegistryKey& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &opened) != ERROR_SUCCESS)
        return false;
    key = opened;
    return true;
}

bool QuerySerialDeviceMapValue(RegistryKey key, const char* name, uint8_t* data, uint32_t& size) {
    DWORD type = 0;
    DWORD length = size;
    if (RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &type, data, &length) !=
        ERROR_SUCCESS)
        return false;
    size = length;
    return true;
}

void CloseSerialDeviceMap(RegistryKey key) { RegCloseKey(static_cast<HKEY>(key)); }

// --- Message queue ----------------------------------------------------------

bool MessageWaiting() {
    MSG message;
    return PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

bool DispatchNextMessage() {
    MSG message;
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) return false;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
}

namespace {
// One change notification at a time: each RegNotifyChangeKeyValue call adds
// a wait that lasts until it fires, so it is re-armed only after it fired or
// when another key (a later run's) is watched.
struct SerialMapWatch {
    HANDLE event = nullptr;
    HKEY key = nullptr;
    bool armed = false;
};
SerialMapWatch g_watch;
}  // namespace

bool WatchSerialDeviceMap(RegistryKey key) {
    HKEY watched = static_cast<HKEY>(key);
    if (g_watch.event == nullptr) g_watch.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (g_watch.event == nullptr) return false;
    if (!g_watch.armed || g_watch.key != watched) {
        // Closing the previous run's key signalled the event; that is stale.
        ResetEvent(g_watch.event);
        g_watch.armed = RegNotifyChangeKeyValue(watched, FALSE,
                                                REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
                                                g_watch.event, TRUE) == ERROR_SUCCESS;
        g_watch.key = watched;
    }
    return g_watch.armed;
}

void WaitForMessageOrSerialMapChange(RegistryKey key, uint32_t maxMilliseconds) {
    const bool watched = g_watch.armed && g_watch.key == static_cast<HKEY>(key);
    const DWORD woke = MsgWaitForMultipleObjects(watched ? 1 : 0, &g_watch.event, FALSE,
                                                 maxMilliseconds, QS_ALLINPUT);
    if (watched && woke == WAIT_OBJECT_0) g_watch.armed = false;  // fired: armed again next time
}

namespace {
bool IsEscape(const MSG& m) { return m.message == WM_KEYDOWN && m.wParam == VK_ESCAPE; }
// F4 arrives as a system key whenever no window has the keyboard focus; only
// the context code tells that Alt was held.
bool IsAltF4(const MSG& m) {
    return m.message == WM_SYSKEYDOWN && m.wParam == VK_F4 && (HIWORD(m.lParam) & KF_ALTDOWN) != 0;
}
bool IsLeftButtonDown(const MSG& m) {
    return m.message == WM_LBUTTONDOWN || m.message == WM_LBUTTONDBLCLK;
}
}  // namespace

bool DiscardQueuedInput(WindowHandle exitButton) {
    // Client-area mouse and keyboard input only: a click on the close box is
    // non-client input and stays queued. A click is a press and a release on
    // the same button, as the button itself would take it; nothing holds
    // the mouse while the window is blocked, so the release goes to the
    // window under the pointer.
    const HWND exit = static_cast<HWND>(exitButton);
    bool leave = false;
    bool exitPressed = false;
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
        if (message.hwnd != exit || exit == nullptr) {
            if (IsLeftButtonDown(message) || message.message == WM_LBUTTONUP) exitPressed = false;
            continue;
        }
        if (IsLeftButtonDown(message)) exitPressed = true;
        if (message.message == WM_LBUTTONUP && exitPressed) leave = true;
    }
    while (PeekMessageA(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
        if (IsEscape(message) || IsAltF4(message)) leave = true;
    }
    return leave;
}

// --- Files --------------------------------------------------------------------

std::FILE* OpenStream(const char* name, const char* mode) { return std::fopen(name, mode); }

size_t ReadStream(void* buffer, size_t size, std::FILE* stream) {
    return std::fread(buffer, 1, size, stream);
}

size_t WriteStream(const void* data, size_t size, std::FILE* stream) {
    return std::fwrite(data, 1, size, stream);
}

bool FlushStream(std::FILE* stream) { return std::fflush(stream) == 0; }

bool CloseStream(std::FILE* stream) { return std::fclose(stream) == 0; }

bool CopyFileReplacing(const char* from, const char* to) { return CopyFileA(from, to, FALSE) != 0; }

bool RemoveFile(const char* name) { return DeleteFileA(name) != 0; }

}  // namespace platform
