// The claim on a folder is a lock on its session file: an exclusive lock on
// one byte far past any end the file reaches, so that reads and copies of
// the file never meet it. The file system holds it for every name of the
// folder and, on a network share, the server holds it for every computer; the
// system lets go of it when the process ends, so a crash or a kill leaves
// nothing behind. Beside it, a named shared-memory object, which the system
// removes with the last process holding it, holds the process id of the
// holder, for a copy on the same computer to find that copy's window. It is
// named after the session file's own path as the system resolves it, so a
// copy that came through a link or another drive letter finds it too.
#include "platform/one_copy_per_folder.h"
#include "platform/system.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace {

// The current folder as one spelling: its long form, upper case (file names
// compare without case), without a trailing backslash except at a root.
std::wstring CurrentFolder() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return std::wstring();
    std::wstring folder(size, L'\0');
    folder.resize(GetCurrentDirectoryW(size, &folder[0]));
    // Asking walks the path on disk, about a millisecond under wine: one call
    // does where the long form has a path's usual length. Short and long
    // names of one folder must give one claim where no lock can be had.
    std::wstring longForm(MAX_PATH, L'\0');
    DWORD written = GetLongPathNameW(folder.c_str(), &longForm[0], MAX_PATH);
    if (written >= MAX_PATH) {  // too long for the buffer: the size it needs
        longForm.assign(written, L'\0');
        written = GetLongPathNameW(folder.c_str(), &longForm[0], written);
    }
    if (written != 0 && written < longForm.size()) {
        longForm.resize(written);
        folder = longForm;
    }
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    if (!folder.empty()) CharUpperBuffW(&folder[0], static_cast<DWORD>(folder.size()));
    return folder;
}

// The session file's path as the system resolves it (links followed, the
// drive a letter stands for, upper case); the current folder's where this
// Windows cannot tell (before Vista) or there is no file. Looked up when the
// program runs: it must start on Windows older than the call.
std::wstring FolderKey(HANDLE file) {
    using FinalPathName = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const FinalPathName finalPathName = kernel == nullptr ? nullptr
        : reinterpret_cast<FinalPathName>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
    if (file == INVALID_HANDLE_VALUE || finalPathName == nullptr) return CurrentFolder();
    std::wstring path(MAX_PATH, L'\0');
    DWORD written = finalPathName(file, &path[0], static_cast<DWORD>(path.size()), 0);
    if (written >= path.size()) {  // the size it needs
        path.assign(written, L'\0');
        written = finalPathName(file, &path[0], written, 0);
    }
    if (written == 0 || written >= path.size()) return CurrentFolder();
    path.resize(written);
    CharUpperBuffW(&path[0], written);
    return path;
}

// The claim's name for a folder key; empty when there is none. Object names
// may not hold a backslash and are limited in length: the key goes in as a
// 64-bit FNV-1a hash of its UTF-16 text.
std::wstring ClaimName(const std::wstring& key) {
    if (key.empty()) return std::wstring();
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t unit : key) {
        hash ^= static_cast<uint16_t>(unit);
        hash *= 1099511628211ull;
    }
    std::wstring name = L"Local\\SlotBench.folder.";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    return name;
}

enum class Lock { kTaken, kRefused, kCannotTell };

// Opens the session file, creating it empty where there is none, and locks
// it. Everything is shared: the tool's own stream, the copies and the removal
// of the file open it beside this handle. Read access is what a lock needs;
// access to the attributes makes wine open the file for writing, and only a
// lock on a file open for writing is one that other wine servers see (on a
// file open for reading it is a shared lock there). Unlike write access it
// meets no share mode: the system's file copy shares its source for reading
// and deleting only.
Lock LockSessionFile(const char* name, HANDLE& file) {
    file = CreateFileA(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Lock::kCannotTell;
    OVERLAPPED at = {};
    at.OffsetHigh = 0x7FFFFFFF;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return Lock::kTaken;
    return GetLastError() == ERROR_LOCK_VIOLATION ? Lock::kRefused : Lock::kCannotTell;
}

HANDLE g_sessionFile = INVALID_HANDLE_VALUE;  // held, locked, until released
std::wstring g_claimName;
HANDLE g_claim = nullptr;  // likewise

// The process id the claim holds; 0 while its maker has not written it yet.
DWORD HolderOf(HANDLE claim) {
    DWORD holder = 0;
    if (const void* view = MapViewOfFile(claim, FILE_MAP_READ, 0, 0, sizeof holder)) {
        holder = *static_cast<const volatile DWORD*>(view);
        UnmapViewOfFile(view);
    }
    return holder;
}

// False when there is no claim of that name.
bool ClaimHolder(const std::wstring& name, DWORD& holder) {
    holder = 0;
    HANDLE claim = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (claim == nullptr) return false;
    holder = HolderOf(claim);
    CloseHandle(claim);
    return true;
}

// False once the process has ended. A process that is not ours to look at
// is running as far as we can tell.
bool StillRunning(DWORD process) {
    if (process == 0) return true;
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
    if (handle == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    CloseHandle(handle);
    return running;
}

struct WindowSearch {
    DWORD process;
    HWND found;
};

// The main dialog of `process`: a visible top-level dialog that no other
// window owns.
BOOL CALLBACK FindMainDialog(HWND window, LPARAM lParam) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != search->process || !IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr)
        return TRUE;
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) != "#32770") return TRUE;
    search->found = window;
    return FALSE;
}

// Makes the named claim, with this process's id in it. With the lock taken
// it is ours whatever it held (a copy that gave up the folder may still be
// ending); without one it is the only claim there is, and the copy that made
// it keeps it while it runs.
bool TakeNamedClaim(bool locked) {
    if (g_claimName.empty()) return true;
    HANDLE claim = nullptr;
    // A copy that was just killed still holds its claim until the system has
    // closed its handles, a moment after the process ended.
    for (int tries = 0;; ++tries) {
        claim = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), g_claimName.c_str());
        if (claim == nullptr) return true;
        if (locked || GetLastError() != ERROR_ALREADY_EXISTS) break;
        const DWORD holder = HolderOf(claim);
        CloseHandle(claim);
        if (StillRunning(holder) || tries == 30) return false;
        Sleep(100);
    }
    if (void* view = MapViewOfFile(claim, FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
        *static_cast<volatile DWORD*>(view) = GetCurrentProcessId();
        UnmapViewOfFile(view);
    }
    g_claim = claim;
    return true;
}

}  // namespace

namespace platform {

bool ClaimCurrentFolder(const char* sessionFile) {
    // A copy that was just killed still holds its lock until the system has
    // closed its handles, a moment after the process ended: a copy started
    // right after it waits for that instead of giving way to no one. One
    // whose holder runs on this computer gives way at once.
    for (int tries = 0;; ++tries) {
        HANDLE file = INVALID_HANDLE_VALUE;
        const Lock lock = LockSessionFile(sessionFile, file);
        g_claimName = ClaimName(FolderKey(file));
        if (lock == Lock::kTaken) {
            g_sessionFile = file;
            return TakeNamedClaim(true);
        }
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (lock == Lock::kCannotTell) return TakeNamedClaim(false);
        DWORD holder = 0;
        if ((ClaimHolder(g_claimName, holder) && StillRunning(holder)) || tries == 30) return false;
        Sleep(100);
    }
}

bool ShowCopyHoldingCurrentFolder() {
    // The other copy may have claimed the folder a moment ago and not yet
    // have its process id written or its window open. Where it has no claim
    // here, it runs elsewhere: the lock was waited for long enough to see one.
    WindowSearch search{0, nullptr};
    for (int tries = 0; tries < 50; ++tries) {
        if (search.process == 0 && !ClaimHolder(g_claimName, search.process)) return false;
        if (search.process != 0) EnumWindows(FindMainDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            // An open About box is what the user has to deal with first.
            HWND front = GetLastActivePopup(search.found);
            // The other copy may be blocked in a library call for a minute
            // or more: the posted form does not wait for it.
            if (IsIconic(search.found)) ShowWindowAsync(search.found, SW_RESTORE);
            SetForegroundWindow(front != nullptr ? front : search.found);
            return true;
        }
        Sleep(100);
    }
    return false;
}

void TellFolderHeldElsewhere() {
    MessageBoxA(nullptr,
                "Slot Bench is already open on another computer, or in another window, that uses this same folder. "
                "Only one can use the folder at a time, so that the test log stays whole.\n\n"
                "Close Slot Bench there, then start it here again.",
                platform::kBoxCaption, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

void ReleaseCurrentFolder() {
    if (g_sessionFile != INVALID_HANDLE_VALUE) CloseHandle(g_sessionFile);
    g_sessionFile = INVALID_HANDLE_VALUE;
    if (g_claim != nullptr) CloseHandle(g_claim);
    g_claim = nullptr;
}

}  // namespace platform
