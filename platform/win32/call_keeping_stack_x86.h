// A call into code whose calling convention is not known: stdcall (the callee
// pops its arguments) or cdecl (the caller does). 32-bit Windows only.
#pragma once

#include <cstdint>

extern "C" {
// Calls `function` with `count` 32-bit arguments, arguments[0] first (lowest
// on the stack, as both conventions place it), and returns EAX. The stack
// pointer is put back from the thunk's own frame after the call, whatever the
// callee popped.
uint32_t SlotBenchCallKeepingStack(const void* function, const uint32_t* arguments, uint32_t count);
}
