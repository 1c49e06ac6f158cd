// A library call guarded against an exception the callee raises and does not
// handle itself. 64-bit Windows only.
#pragma once

#include <cstdint>

#include "platform/win32/call_fault.h"

extern "C" {
// Calls `function` with the seven arguments (the callee reads as many as it
// takes) and returns RAX. An exception that leaves the callee unhandled ends
// the call instead of the process: `fault` then tells it, and the result is 0.
uint64_t SlotBenchCallGuarded(const void* function, const uint64_t* arguments, SlotBenchCallFault* fault);
}
