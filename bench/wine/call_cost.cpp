// Cost of one call through the 32-bit thunk that calls the card-terminal
// library whatever its calling convention, against a direct stdcall call of
// the same seven-argument function. Run under wine; prints, asserts nothing.
//   wine call_cost.exe [calls-per-round] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/win32/guarded_call.h"

namespace {

volatile uint32_t g_sink;

// The shape of CT_data: seven arguments, a little work, a small result.
__attribute__((noinline)) uint32_t __stdcall Callee(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e,
                                                    uint32_t f, uint32_t g) {
    g_sink = a + b + c + d + e + f + g;
    return a;
}

// Through a volatile pointer, so the direct call is a real indirect call
// into code the compiler cannot see into, as a DLL import is.
uint32_t(__stdcall* volatile g_direct)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                       uint32_t) = Callee;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

template <class Call>
double NanosecondsPerCall(long calls, Call call) {
    LARGE_INTEGER frequency, from, to;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&from);
    for (long i = 0; i < calls; ++i) call(static_cast<uint32_t>(i));
    QueryPerformanceCounter(&to);
    return Seconds(from, to, frequency) * 1e9 / double(calls);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::atol(argv[1]) : 20000000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<double> direct, thunk;
    const void* callee = reinterpret_cast<const void*>(Callee);
    for (int r = 0; r < rounds; ++r) {
        direct.push_back(NanosecondsPerCall(calls, [](uint32_t i) { g_direct(i, 2, 3, 4, 5, 6, 7); }));
        thunk.push_back(NanosecondsPerCall(calls, [callee](uint32_t i) {
            const uintptr_t arguments[] = {i, 2, 3, 4, 5, 6, 7};
            SlotBenchCallFault fault;
            fault.faulted = 0;
            SlotBenchCallGuarded(callee, arguments, 7, &fault);
            if (fault.faulted != 0) g_sink = 0;  // as the program looks at it after every call
        }));
    }
    const double d = Median(direct), t = Median(thunk);
    std::printf("calls per round %ld, rounds %d (medians)\n", calls, rounds);
    std::printf("direct stdcall call   %6.2f ns\n", d);
    std::printf("through the thunk     %6.2f ns\n", t);
    std::printf("thunk's own cost      %6.2f ns per call\n", t - d);
    return 0;
}
