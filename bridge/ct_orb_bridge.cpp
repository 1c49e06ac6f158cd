// CT_ORB.dll for Linux under wine: hands each call to wine's ctapi32.dll,
// which passes it to a native CT-API library, and gives up on a call the
// terminal never answers. A serial library may read without a time-out, so
// such a call would otherwise hold the tool's window for good.
//
// One worker thread per call: the caller waits for it with a time-out and,
// on time-out, leaves it behind stuck in the library. A worker per terminal
// would need a queue and a shutdown for no gain, since a terminal that timed
// out takes no further calls and the calls of one that answers never overlap.
//
// A fault in the call must not end the process, and on the worker the
// tool's own guard does not cover it: the worker runs the call in that
// guard. Wine 8 raises no exception for a fault inside the Linux library,
// though: ctapi32 returns wine's status for it (C0000005) where the
// library's result would be. Either way the terminal then takes no further
// calls, as after a time-out: the library's state is unknown.
//
// A call the library failed, or returned without an answer, may leave the
// terminal still busy with that command: a terminal waiting for a card
// keeps waiting, and would answer the next command with this one's answer.
// Before the next call on that terminal the bridge closes it and opens it
// again on the same port: the library's CT_init sends a RESYNCH, which a
// T=1 terminal obeys whatever it is doing, and which drops the old command.
// The failed call itself returns an error, never 0.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/call_timeout.h"
#include "bridge/unanswered.h"
#include "platform/win32/guarded_call.h"

namespace {

// The call timed out: the terminal never answered, as with a line that
// cannot carry the exchange.
constexpr int8_t kErrTrans = -10;
// A terminal given up on (its call timed out or faulted): it is out of
// operation for this process, and a second call would only get stuck beside
// the first on the same port, or meet a library in an unknown state.
constexpr int8_t kErrCt = -8;
// No ctapi32.dll to hand the call to, or the call faulted in it or in the
// Linux library: the host's software between tool and terminal failed.
constexpr int8_t kErrHtsi = -128;
constexpr int8_t kErrMemory = -11;

// The room the library gets for an answer, whatever it was offered: a serial
// library was seen writing its whole answer and a few bytes more, and no
// answer it can report is longer than 65535 bytes.
constexpr size_t kResponseSpace = 65535 + 64;

CRITICAL_SECTION lock;
HMODULE ctapi = nullptr;
const void* ctInit = nullptr;
const void* ctData = nullptr;
const void* ctClose = nullptr;
bool stuck[65536] = {};

// What the bridge knows of each terminal's line.
enum class LineState : uint8_t {
    kUnopened,  // not opened through the bridge: calls go as they come
    kClean,     // every exchange so far answered
    kDirty,     // an exchange failed: resynchronise before the next call
    kClosed,    // closed to resynchronise, not opened again yet
};
LineState lineState[65536] = {};
uint16_t openedPort[65536] = {};

LineState LineOf(uint16_t ctn) {
    EnterCriticalSection(&lock);
    const LineState state = lineState[ctn];
    LeaveCriticalSection(&lock);
    return state;
}

void SetLine(uint16_t ctn, LineState state) {
    EnterCriticalSection(&lock);
    lineState[ctn] = state;
    LeaveCriticalSection(&lock);
}

const void* Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<const void*>(GetProcAddress(module, name));
}

// Loaded at the first call, not at load time, so the tool starts (and says
// CT_INIT fail) when ctapi32 or its native library cannot load.
bool Loaded() {
    EnterCriticalSection(&lock);
    if (ctapi == nullptr) {
        HMODULE module = LoadLibraryA("ctapi32.dll");
        if (module != nullptr) {
            ctInit = Lookup(module, "CT_init");
            ctData = Lookup(module, "CT_data");
            ctClose = Lookup(module, "CT_close");
            if (ctInit && ctData && ctClose) {
                ctapi = module;
                // A worker may still be inside the library when the program
                // lets go of the bridge: the bridge stays loaded.
                HMODULE self = nullptr;
                GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                   reinterpret_cast<LPCSTR>(&Loaded), &self);
            } else {
                FreeLibrary(module);
            }
        }
    }
    const bool loaded = ctapi != nullptr;
    LeaveCriticalSection(&lock);
    return loaded;
}

enum class Kind { Init, Data, Close };
const char* const kCallNames[] = {"CT_init", "CT_data", "CT_close"};

// One call, with the library's own copies of everything it may write, and
// the pointers it is handed (null where the caller's was null). The caller
// and the worker each hold it; the last to let go frees it.
struct Job {
    Kind kind;
    uint16_t ctn;
    uint16_t pn;
    uint8_t dad;
    uint8_t sad;
    uint16_t lenc;
    uint16_t lenr;
    uint8_t* dadArgument;
    uint8_t* sadArgument;
    uint8_t* commandArgument;
    uint16_t* lenrArgument;
    uint8_t* responseArgument;
    int8_t result;
    // Set when the call faulted: the guard's record, or (inLinux) wine's
    // status in `fault.code`.
    SlotBenchCallFault fault;
    bool inLinux;
    int holders;
    HANDLE done;
    uint8_t command[65535];
    uint8_t response[kResponseSpace];
};

void Free(Job* job) {
    if (job->done) CloseHandle(job->done);
    std::free(job);
}

void LetGo(Job* job) {
    EnterCriticalSection(&lock);
    const bool last = --job->holders == 0;
    LeaveCriticalSection(&lock);
    if (last) Free(job);
}

// A line of text built from parts, cut short at its room.
struct Line {
    char text[256];
    size_t size;

    void Add(const char* part) {
        while (*part && size + 1 < sizeof text) text[size++] = *part++;
        text[size] = '\0';
    }
    // value in base 10 or 16, with at least `digits` digits.
    void AddNumber(uint64_t value, unsigned base, int digits) {
        char number[21];
        int at = 20;
        number[at] = '\0';
        while (at > 0 && (value != 0 || 20 - at < digits)) {
            number[--at] = "0123456789ABCDEF"[value % base];
            value /= base;
        }
        Add(number + at);
    }
};

// Where an address lies as the tool's own fault line tells it: the module
// holding it and the offset there, or the bare address when none does.
void AddPlace(Line& line, uintptr_t address) {
    HMODULE module = nullptr;
    char path[MAX_PATH];
    DWORD length = 0;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &module)) {
        length = GetModuleFileNameA(module, path, sizeof path);
    }
    // A path that filled the room may lack its NUL (Windows XP).
    if (length == 0 || length >= sizeof path) {
        line.Add("0x");
        line.AddNumber(address, 16, 2 * sizeof(uintptr_t));
        return;
    }
    const char* name = path;
    for (const char* at = path; *at; ++at) {
        if (*at == '\\' || *at == '/') name = at + 1;
    }
    line.Add(name);
    line.Add("+0x");
    line.AddNumber(address - reinterpret_cast<uintptr_t>(module), 16, 8);
}

// One line on stderr, which wine shows in the terminal the tool was started
// from: the tool itself logs only the failed step.
void TellFault(const Job& job) {
    Line line{};
    line.Add("CT_ORB.dll (wine bridge): ");
    line.Add(kCallNames[static_cast<int>(job.kind)]);
    line.Add(" on terminal ");
    line.AddNumber(job.ctn, 10, 1);
    if (!job.inLinux) {
        line.Add(" faulted: exception ");
        line.AddNumber(job.fault.code, 16, 8);
        line.Add(" at ");
        AddPlace(line, job.fault.address);
    } else {
        line.Add(" faulted in the Linux CT-API library (wine's status ");
        line.AddNumber(job.fault.code, 16, 8);
        line.Add(")");
    }
    line.Add("; the terminal takes no further calls until the tool is restarted\n");
    std::fputs(line.text, stderr);
    std::fflush(stderr);
}

// ctapi32 hands back in EAX what its Linux side returned: the library's
// 8-bit result widened with its sign, or wine's status when the library
// faulted. No widened 8-bit value reaches 0x80000000 and up but those of
// 0xFFFFFF80 and up.
bool IsWineFaultStatus(uint32_t accumulator) {
    return accumulator >= 0x80000000u && accumulator < 0xFFFFFF80u;
}

DWORD WINAPI Work(void* parameter) {
    Job* job = static_cast<Job*>(parameter);
    uintptr_t arguments[7] = {job->ctn};
    const void* function = ctClose;
    uint32_t count = 1;
    if (job->kind == Kind::Init) {
        function = ctInit;
        arguments[1] = job->pn;
        count = 2;
    } else if (job->kind == Kind::Data) {
        function = ctData;
        arguments[1] = reinterpret_cast<uintptr_t>(job->dadArgument);
        arguments[2] = reinterpret_cast<uintptr_t>(job->sadArgument);
        arguments[3] = job->lenc;
        arguments[4] = reinterpret_cast<uintptr_t>(job->commandArgument);
        arguments[5] = reinterpret_cast<uintptr_t>(job->lenrArgument);
        arguments[6] = reinterpret_cast<uintptr_t>(job->responseArgument);
        count = 7;
    }
    const uint32_t accumulator = static_cast<uint32_t>(SlotBenchCallGuarded(function, arguments, count, &job->fault));
    job->result = static_cast<int8_t>(accumulator & 0xFFu);
    if (job->fault.faulted == 0 && IsWineFaultStatus(accumulator)) {
        job->fault.faulted = 1;
        job->fault.code = accumulator;
        job->inLinux = true;
    }
    if (job->fault.faulted != 0) {
        // Before the caller wakes: no later call may reach the library.
        EnterCriticalSection(&lock);
        stuck[job->ctn] = true;
        LeaveCriticalSection(&lock);
    }
    SetEvent(job->done);
    // After the caller is woken: a blocked stderr must not turn a fault into a time-out.
    if (job->fault.faulted != 0) TellFault(*job);
    LetGo(job);
    return 0;
}

// A new job, or null when memory or an event is lacking.
Job* NewJob(Kind kind, uint16_t ctn) {
    // A plain struct, zeroed: no pointer set. calloc, not new, keeps the C++
    // runtime out of the bridge.
    Job* job = static_cast<Job*>(std::calloc(1, sizeof(Job)));
    if (job == nullptr) return nullptr;
    job->kind = kind;
    job->ctn = ctn;
    job->holders = 2;
    job->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (job->done == nullptr) {
        Free(job);
        return nullptr;
    }
    return job;
}

// Runs the job on a worker for up to timeoutMs. True when it finished in
// time without a fault: only then may its results reach the caller, who lets
// go of it after. Otherwise *result is the call's error and the job is no
// longer the caller's.
bool Run(Job* job, DWORD timeoutMs, int8_t* result) {
    HANDLE worker = CreateThread(nullptr, 0, Work, job, 0, nullptr);
    if (worker == nullptr) {
        Free(job);
        *result = kErrMemory;
        return false;
    }
    CloseHandle(worker);
    const DWORD waited = WaitForSingleObject(job->done, timeoutMs);
    if (waited == WAIT_OBJECT_0) {
        if (job->fault.faulted == 0) {
            *result = job->result;
            return true;
        }
        LetGo(job);
        *result = kErrHtsi;
        return false;
    }
    EnterCriticalSection(&lock);
    stuck[job->ctn] = true;
    LeaveCriticalSection(&lock);
    LetGo(job);
    *result = waited == WAIT_TIMEOUT ? kErrTrans : kErrHtsi;
    return false;
}

// Whether a call may go to the library; otherwise *result is its answer.
bool MayCall(uint16_t ctn, int8_t* result) {
    if (!Loaded()) {
        *result = kErrHtsi;
        return false;
    }
    EnterCriticalSection(&lock);
    const bool blocked = stuck[ctn];
    LeaveCriticalSection(&lock);
    if (blocked) *result = kErrCt;
    return !blocked;
}

int8_t Open(uint16_t ctn, uint16_t pn) {
    Job* job = NewJob(Kind::Init, ctn);
    if (job == nullptr) return kErrMemory;
    job->pn = pn;
    int8_t result = 0;
    if (Run(job, bridge::kAnswerMs, &result)) LetGo(job);
    return result;
}

int8_t Close(uint16_t ctn) {
    Job* job = NewJob(Kind::Close, ctn);
    if (job == nullptr) return kErrMemory;
    int8_t result = 0;
    if (Run(job, bridge::kAnswerMs, &result)) LetGo(job);
    return result;
}

// True when the terminal's line may take a call: clean, or made clean by
// closing and opening the terminal again. Otherwise *result is the call's
// answer: the reopening's failure, tried again at the next call.
bool Resynchronised(uint16_t ctn, int8_t* result) {
    const LineState state = LineOf(ctn);
    if (state != LineState::kDirty && state != LineState::kClosed) return true;
    if (state == LineState::kDirty) {
        // Its result does not matter: the terminal is closed afterwards
        // either way, unless the call hung or faulted, and then the
        // terminal takes no further calls.
        Close(ctn);
        if (!MayCall(ctn, result)) return false;
        SetLine(ctn, LineState::kClosed);
    }
    EnterCriticalSection(&lock);
    const uint16_t pn = openedPort[ctn];
    LeaveCriticalSection(&lock);
    *result = Open(ctn, pn);
    if (*result != 0) return false;
    SetLine(ctn, LineState::kClean);
    return true;
}

}  // namespace

extern "C" {

int8_t WINAPI CT_init(uint16_t ctn, uint16_t pn) {
    int8_t result = 0;
    if (!MayCall(ctn, &result)) return result;
    result = Open(ctn, pn);
    if (result == 0) {
        EnterCriticalSection(&lock);
        openedPort[ctn] = pn;
        LeaveCriticalSection(&lock);
        SetLine(ctn, LineState::kClean);
    }
    return result;
}

int8_t WINAPI CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
                      uint8_t* response) {
    int8_t result = 0;
    if (!MayCall(ctn, &result)) return result;
    if (!Resynchronised(ctn, &result)) return result;
    Job* job = NewJob(Kind::Data, ctn);
    if (job == nullptr) return kErrMemory;
    job->lenc = lenc;
    if (dad) {
        job->dad = *dad;
        job->dadArgument = &job->dad;
    }
    if (sad) {
        job->sad = *sad;
        job->sadArgument = &job->sad;
    }
    if (lenr) {
        job->lenr = *lenr;
        job->lenrArgument = &job->lenr;
    }
    if (command) {
        std::memcpy(job->command, command, lenc);
        job->commandArgument = job->command;
    }
    if (response) job->responseArgument = job->response;
    const uint16_t room = job->lenr;
    const bool tellable = lenr && response;
    if (tellable) bridge::MarkUnanswered(job->response, room);
    const uint32_t timeoutMs = command ? bridge::DataTimeoutMs(lenc, command) : bridge::kAnswerMs;
    if (!Run(job, timeoutMs, &result)) return result;
    const bool unanswered = tellable && bridge::AnsweredNothing(result, room, job->lenr, job->response);
    if ((result != 0 || unanswered) && LineOf(ctn) == LineState::kClean) SetLine(ctn, LineState::kDirty);
    if (unanswered) {
        // Nothing of the call reaches the caller: its answer never came.
        LetGo(job);
        return kErrTrans;
    }
    if (dad) *dad = job->dad;
    if (sad) *sad = job->sad;
    if (lenr) *lenr = job->lenr;
    // The caller offered room for *lenr bytes, and only those are its own.
    if (response) std::memcpy(response, job->response, job->lenr < room ? job->lenr : room);
    LetGo(job);
    return result;
}

int8_t WINAPI CT_close(uint16_t ctn) {
    int8_t result = 0;
    if (!MayCall(ctn, &result)) return result;
    // Closed already, to resynchronise: the caller's close is done.
    if (LineOf(ctn) == LineState::kClosed) {
        SetLine(ctn, LineState::kUnopened);
        return 0;
    }
    result = Close(ctn);
    // A later CT_init sends its own RESYNCH.
    if (result == 0) SetLine(ctn, LineState::kUnopened);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&lock);
    return TRUE;
}

}  // extern "C"
