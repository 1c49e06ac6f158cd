// start_timer CAPTION WORKDIR PROGRAM
// Starts PROGRAM in WORKDIR and prints, in milliseconds, how long it took
// until a visible top-level window with CAPTION existed; then closes that
// window (WM_CLOSE, as the close box does) and waits for the process to end.
// Runs inside wine, so the time covers wine's own process creation and
// nothing of a launcher started from the shell.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: start_timer CAPTION WORKDIR PROGRAM\n");
        return 2;
    }
    const char* caption = argv[1];
    std::string commandLine = std::string("\"") + argv[3] + "\"";

    LARGE_INTEGER frequency, begin, now;
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    QueryPerformanceCounter(&begin);
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, argv[2], &startup,
                        &process)) {
        std::fprintf(stderr, "start_timer: cannot start %s (%lu)\n", argv[3], GetLastError());
        return 1;
    }
    // A millisecond between looks: finer than the figures, and every look is
    // a call into the wine server, which the starting program needs too.
    HWND window = nullptr;
    for (;;) {
        window = FindWindowA(nullptr, caption);
        if (window && IsWindowVisible(window)) break;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            std::fprintf(stderr, "start_timer: %s ended without showing '%s'\n", argv[3], caption);
            return 1;
        }
        QueryPerformanceCounter(&now);
        if (now.QuadPart - begin.QuadPart > 30 * frequency.QuadPart) {
            std::fprintf(stderr, "start_timer: no window '%s' within 30 s\n", caption);
            TerminateProcess(process.hProcess, 1);
            return 1;
        }
        Sleep(1);
    }
    QueryPerformanceCounter(&now);
    const double ms = 1000.0 * static_cast<double>(now.QuadPart - begin.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    std::printf("%.1f\n", ms);
    std::fflush(stdout);

    PostMessageA(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "start_timer: %s did not end after WM_CLOSE\n", argv[3]);
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
