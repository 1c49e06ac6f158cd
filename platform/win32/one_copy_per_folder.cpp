// The claim on a folder is a named shared-memory object: the system removes it
// with the last process holding it, so a crash or a kill leaves nothing
// behind. It holds the process id of the copy that made it, for the next copy
// to find that copy's window.
#include "platform/one_copy_per_folder.h"

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
    // does where the long form has a path's usual length. Every start asks:
    // two names for one folder would let two copies share its files.
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

// The claim's name for the current folder; empty when there is none. Object
// names may not hold a backslash and are limited in length: the folder goes
// in as a 64-bit FNV-1a hash of its UTF-16 text.
std::wstring ClaimName() {
    const std::wstring folder = CurrentFolder();
    if (folder.empty()) return std::wstring();
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t unit : folder) {
        hash ^= static_cast<uint16_t>(unit);
        hash *= 1099511628211ull;
    }
    std::wstring name = L"Local\\SlotBench.folder.";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    return name;
}

HANDLE g_claim = nullptr;  // held until the process ends

// The process id the claim holds; 0 while its maker has not written it yet.
DWORD HolderOf(HANDLE claim) {
    DWORD holder = 0;
    if (const void* view = MapViewOfFile(claim, FILE_MAP_READ, 0, 0, sizeof holder)) {
        holder = *static_cast<const volatile DWORD*>(view);
        UnmapViewOfFile(view);
    }
    return holder;
}

DWORD ClaimHolder(const std::wstring& name) {
    HANDLE claim = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (claim == nullptr) return 0;
    const DWORD holder = HolderOf(claim);
    CloseHandle(claim);
    return holder;
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

}  // namespace

namespace platform {

bool ClaimCurrentFolder() {
    const std::wstring name = ClaimName();
    if (name.empty()) return true;
    HANDLE claim = nullptr;
    // A copy that was just killed still holds its claim until the system has
    // closed its handles, a moment after the process ended: a copy started
    // right after it waits for that instead of giving way to no one.
    for (int tries = 0;; ++tries) {
        claim = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), name.c_str());
        if (claim == nullptr) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
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

void ShowCopyHoldingCurrentFolder() {
    const std::wstring name = ClaimName();
    if (name.empty()) return;
    // The other copy may have claimed the folder a moment ago and not yet
    // have its process id written or its window open.
    WindowSearch search{0, nullptr};
    for (int tries = 0; tries < 50; ++tries) {
        if (search.process == 0) search.process = ClaimHolder(name);
        if (search.process != 0) EnumWindows(FindMainDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            // An open About box is what the user has to deal with first.
            HWND front = GetLastActivePopup(search.found);
            // The other copy may be blocked in a library call for a minute
            // or more: the posted form does not wait for it.
            if (IsIconic(search.found)) ShowWindowAsync(search.found, SW_RESTORE);
            SetForegroundWindow(front != nullptr ? front : search.found);
            return;
        }
        Sleep(100);
    }
}

}  // namespace platform
