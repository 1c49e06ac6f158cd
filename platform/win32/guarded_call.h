// A call into the card-terminal library, guarded against an exception the
// library raises and does not handle itself. On 32-bit Windows it also
// survives either calling convention, stdcall (the callee pops its
// arguments) or cdecl (the caller does): nothing in a DLL says which.
#pragma once

#include <cstdint>

extern "C" {
// What the guard hands back when the call raised an exception that no
// handler of the library took. A library whose unwind code faults again
// while the guard unwinds it raises a second one: the first is kept.
struct SlotBenchCallFault {
    uint32_t faulted;   // 1 when the call faulted; the caller sets it to 0
    uint32_t code;      // the exception code
    uintptr_t address;  // where the exception was raised
};

// Calls `function` with `count` pointer-sized arguments, arguments[0] first,
// and returns the accumulator (EAX, RAX). The 64-bit body passes seven
// whatever `count` is (the callee reads as many as it takes), so `arguments`
// holds seven there. On 32-bit Windows the stack pointer is put back from
// the guard's own frame after the call, whatever the callee popped. An
// exception that leaves the callee unhandled ends the call instead of the
// process: `fault` then tells it, and the result is 0.
uintptr_t SlotBenchCallGuarded(const void* function, const uintptr_t* arguments, uint32_t count,
                               SlotBenchCallFault* fault);
}
