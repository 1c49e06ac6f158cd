// CT_ORB.dll for Linux under wine: hands each call to wine's ctapi32.dll,
// which passes it to a native CT-API library, and gives up on a call the
// terminal never answers. A serial library may read without a time-out, so
// such a call would otherwise hold the tool's window for good.
//
// One worker thread per call: the caller waits for it with a time-out and,
// on time-out, leaves it behind stuck in the library. A worker per terminal
// would need a queue and a shutdown for no gain, since a terminal that timed
// out takes no further calls and the calls of one that answers never overlap.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bridge/call_timeout.h"

namespace {

using InitFunction = int8_t(WINAPI*)(uint16_t, uint16_t);
using DataFunction = int8_t(WINAPI*)(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t*, uint8_t*);
using CloseFunction = int8_t(WINAPI*)(uint16_t);

// The call timed out: the terminal never answered, as with a line that
// cannot carry the exchange.
constexpr int8_t kErrTrans = -10;
// A terminal whose earlier call is still running in the library: it is out
// of operation for this process, and a second call would only get stuck
// beside the first on the same port.
constexpr int8_t kErrCt = -8;
// No ctapi32.dll to hand the call to: the host side of the interface fails.
constexpr int8_t kErrHtsi = -128;
constexpr int8_t kErrMemory = -11;

// The room the library gets for an answer, whatever it was offered: a serial
// library was seen writing its whole answer and a few bytes more, and no
// answer it can report is longer than 65535 bytes.
constexpr size_t kResponseSpace = 65535 + 64;

CRITICAL_SECTION lock;
HMODULE ctapi = nullptr;
InitFunction ctInit = nullptr;
DataFunction ctData = nullptr;
CloseFunction ctClose = nullptr;
bool stuck[65536] = {};

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    // Through the generic function type, which GCC takes as any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loaded at the first call, not at load time, so the tool starts (and says
// CT_INIT fail) when ctapi32 or its native library cannot load.
bool Loaded() {
    EnterCriticalSection(&lock);
    if (ctapi == nullptr) {
        HMODULE module = LoadLibraryA("ctapi32.dll");
        if (module != nullptr) {
            ctInit = Lookup<InitFunction>(module, "CT_init");
            ctData = Lookup<DataFunction>(module, "CT_data");
            ctClose = Lookup<CloseFunction>(module, "CT_close");
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

DWORD WINAPI Work(void* parameter) {
    Job* job = static_cast<Job*>(parameter);
    switch (job->kind) {
    case Kind::Init: job->result = ctInit(job->ctn, job->pn); break;
    case Kind::Data:
        job->result = ctData(job->ctn, job->dadArgument, job->sadArgument, job->lenc, job->commandArgument,
                             job->lenrArgument, job->responseArgument);
        break;
    case Kind::Close: job->result = ctClose(job->ctn); break;
    }
    SetEvent(job->done);
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
// time: only then may its results reach the caller, who lets go of it after.
// Otherwise *result is the call's error and the job is no longer the caller's.
bool Run(Job* job, DWORD timeoutMs, int8_t* result) {
    HANDLE worker = CreateThread(nullptr, 0, Work, job, 0, nullptr);
    if (worker == nullptr) {
        Free(job);
        *result = kErrMemory;
        return false;
    }
    CloseHandle(worker);
    if (WaitForSingleObject(job->done, timeoutMs) == WAIT_OBJECT_0) {
        *result = job->result;
        return true;
    }
    EnterCriticalSection(&lock);
    stuck[job->ctn] = true;
    LeaveCriticalSection(&lock);
    LetGo(job);
    *result = kErrTrans;
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

}  // namespace

extern "C" {

int8_t WINAPI CT_init(uint16_t ctn, uint16_t pn) {
    int8_t result = 0;
    if (!MayCall(ctn, &result)) return result;
    Job* job = NewJob(Kind::Init, ctn);
    if (job == nullptr) return kErrMemory;
    job->pn = pn;
    if (Run(job, bridge::kAnswerMs, &result)) LetGo(job);
    return result;
}

int8_t WINAPI CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
                      uint8_t* response) {
    int8_t result = 0;
    if (!MayCall(ctn, &result)) return result;
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
    const uint32_t timeoutMs = command ? bridge::DataTimeoutMs(lenc, command) : bridge::kAnswerMs;
    if (!Run(job, timeoutMs, &result)) return result;
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
    Job* job = NewJob(Kind::Close, ctn);
    if (job == nullptr) return kErrMemory;
    if (Run(job, bridge::kAnswerMs, &result)) LetGo(job);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&lock);
    return TRUE;
}

}  // extern "C"
