// The simulator's CT-API entry points. Only the Windows side lives here: the
// clock, the environment and the file beside the DLL; the terminal is the
// portable core's.
#include <windows.h>

#include <string>

#include "simulator/setup.h"

// A maker's 32-bit library may be either: stdcall by default, as wine's own
// CT-API library is, and cdecl when built with CT_ORB_CDECL, as a library
// built from a header that names no convention is.
#if defined(_WIN64) || defined(CT_ORB_CDECL)
#define CT_ORB_CALL
#else
#define CT_ORB_CALL __stdcall
#endif

namespace {

// The performance counter, as the tool's own clock: it cannot fail from
// Windows XP on, so the simulator runs for demonstrations wherever the tool does.
class Win32Clock : public ctsim::Clock {
public:
    uint64_t NowMs() override {
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
        return ticks / frequency_ * 1000 + ticks % frequency_ * 1000 / frequency_;
    }
    void SleepMs(uint32_t ms) override { Sleep(ms); }

private:
    static uint64_t Frequency() {
        LARGE_INTEGER perSecond{};
        QueryPerformanceFrequency(&perSecond);
        return static_cast<uint64_t>(perSecond.QuadPart);
    }
    const uint64_t frequency_ = Frequency();
};

// The process's own environment block: a static runtime keeps a copy taken
// at start-up that misses variables the host program sets later.
std::string Environment(const char* name) {
    char buffer[MAX_PATH * 4];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return {};
    return std::string(buffer, length);
}

std::string ScenarioBesideLibrary() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ScenarioBesideLibrary), &self)) {
        return {};
    }
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(self, path, sizeof path);
    if (length == 0 || length >= sizeof path) return {};
    std::string file(path, length);
    const size_t slash = file.find_last_of("\\/");
    return file.substr(0, slash == std::string::npos ? 0 : slash + 1) + "CT_ORB.scenario";
}

// Held for the whole of a call: a program may call from several threads.
class CallLock {
public:
    CallLock() { EnterCriticalSection(&Section()); }
    ~CallLock() { LeaveCriticalSection(&Section()); }
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

private:
    // Made in place at the first call: a critical section must not move.
    struct Made {
        CRITICAL_SECTION section;
        Made() { InitializeCriticalSection(&section); }
    };
    static CRITICAL_SECTION& Section() {
        static Made made;
        return made.section;
    }
};

// Built at the first call, outside the loader lock: reading files under it
// is asking for trouble.
ctsim::Terminal& Simulated() {
    static Win32Clock clock;
    static ctsim::Simulator sim = ctsim::CreateSimulator(
        Environment("SLOTBENCH_SIM_SCENARIO"), ScenarioBesideLibrary(), Environment("SLOTBENCH_SIM_TRACE"), clock);
    return *sim.terminal;
}

// A careful library's check of its caller's pointers, on a page that is never
// mapped: both calls fault inside the system and handle it there, which must
// change nothing for the caller.
std::string ProbeUnmappedPage() {
    void* const unmapped = reinterpret_cast<void*>(0x10);
    const bool unreadable = IsBadReadPtr(unmapped, 4) != 0;
    const bool unwritable = IsBadWritePtr(unmapped, 4) != 0;
    return std::string("probe: IsBadReadPtr 0x10 ") + (unreadable ? "bad" : "good") + ", IsBadWritePtr 0x10 " +
           (unwritable ? "bad" : "good");
}

// Runs one call on the terminal under the lock, and says which fault the
// call is to raise. Kept out of line: the fault is raised by the exported
// function once this frame, with its lock and its handlers, is gone.
template <class Run>
__attribute__((noinline)) int8_t RunLocked(ctsim::Call call, ctsim::FaultKind& fault, Run run) {
    try {
        const CallLock held;
        ctsim::Terminal& terminal = Simulated();
        if (terminal.ProbesNext(call)) terminal.Note(ProbeUnmappedPage());
        const int8_t result = run(terminal);
        fault = terminal.TakeFault();
        return result;
    } catch (...) {
        return ctsim::kErrHtsi;
    }
}

// Faults as a buggy library does: nothing in the library handles it.
__attribute__((noinline)) void Raise(ctsim::FaultKind fault) {
    switch (fault) {
    case ctsim::FaultKind::kAccessViolation:
        asm volatile("movl $1, 0x10" ::: "memory");
        break;
    case ctsim::FaultKind::kIllegalInstruction:
        asm volatile("ud2");
        break;
    case ctsim::FaultKind::kDivideByZero:
        asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::: "eax", "ecx", "edx");
        break;
    case ctsim::FaultKind::kNone:
        break;
    }
}

}  // namespace

extern "C" {

int8_t CT_ORB_CALL CT_init(uint16_t ctn, uint16_t pn) {
    ctsim::FaultKind fault = ctsim::FaultKind::kNone;
    const int8_t result =
        RunLocked(ctsim::Call::kInit, fault, [&](ctsim::Terminal& terminal) { return terminal.Init(ctn, pn); });
    Raise(fault);
    return result;
}

int8_t CT_ORB_CALL CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                           uint16_t* lenr, uint8_t* response) {
    ctsim::FaultKind fault = ctsim::FaultKind::kNone;
    const int8_t result = RunLocked(ctsim::Call::kData, fault, [&](ctsim::Terminal& terminal) {
        return terminal.Data(ctn, dad, sad, lenc, command, lenr, response);
    });
    Raise(fault);
    return result;
}

int8_t CT_ORB_CALL CT_close(uint16_t ctn) {
    ctsim::FaultKind fault = ctsim::FaultKind::kNone;
    const int8_t result =
        RunLocked(ctsim::Call::kClose, fault, [&](ctsim::Terminal& terminal) { return terminal.Close(ctn); });
    Raise(fault);
    return result;
}

}  // extern "C"
