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
