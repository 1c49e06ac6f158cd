// A call into code whose calling convention is not known: stdcall (the callee
// pops its arguments) or cdecl (the caller does), guarded against an
// exception the callee raises and does not handle itself. 32-bit Windows only.
#pragma once

#include <cstdint>

#include "platform/win32/call_fault.h"

extern "C" {
// Calls `function` with `count` 32-bit arguments, arguments[0] first (lowest
// on the stack, as both conventions place it), and returns EAX. The stack
// pointer is put back from the thunk's own frame after the call, whatever the
// callee popped. An exception that leaves the callee unhandled ends the call
// instead of the process: `fault` then tells it, and the result is 0.
uint32_t SlotBenchCallKeepingStack(const void* function, const uint32_t* arguments, uint32_t count,
                                   SlotBenchCallFault* fault);
}
