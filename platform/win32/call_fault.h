// What the guard around a library call hands back when the call raised an
// exception that no handler of the library took.
#pragma once

#include <cstdint>

extern "C" {
struct SlotBenchCallFault {
    uint32_t faulted;   // 1 when the call faulted; the caller sets it to 0
    uint32_t code;      // the exception code
    uintptr_t address;  // where the exception was raised
};
}

// Keeps the fault of CT-API call `call` for TakeCtApiFault (platform/ct_api.h).
void KeepCtApiFault(const char* call, const SlotBenchCallFault& fault);

// The CT-API result of call `call` from the accumulator the library left
// (a signed char, in AL), or, when the call faulted, -128 with the fault
// kept: the logic asks for the fault first and never reads that value.
inline int8_t ResultOrKeptFault(const char* call, const SlotBenchCallFault& fault, uintptr_t accumulator) {
    if (fault.faulted == 0) return static_cast<int8_t>(accumulator & 0xFFu);
    KeepCtApiFault(call, fault);
    return -128;
}
