// The 64-bit body of SlotBenchCallGuarded. On x64 exception handling is
// table-driven: the function's unwind data names the system's C-language
// handler with one scope, the call itself, whose filter keeps the fault and
// takes it. The system asks the filter only about exceptions that every
// handler of the callee passed on (a library probing pointers with
// IsBadReadPtr handles its own), then unwinds the callee's frames and
// resumes at the landing with this function's frame.
#include <windows.h>

#include "platform/win32/guarded_call.h"

namespace {
// Where the thunk keeps its `fault` argument, above the callee's stack
// arguments; the filter finds it there from the thunk's frame.
constexpr size_t kFaultSlot = 56;
}  // namespace

extern "C" LONG SlotBenchCallFaultFilter(EXCEPTION_POINTERS* pointers, void* frame) {
    SlotBenchCallFault* fault = *reinterpret_cast<SlotBenchCallFault**>(static_cast<char*>(frame) + kFaultSlot);
    if (fault->faulted != 0) return EXCEPTION_EXECUTE_HANDLER;
    fault->faulted = 1;
    fault->code = pointers->ExceptionRecord->ExceptionCode;
    fault->address = reinterpret_cast<uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
    return EXCEPTION_EXECUTE_HANDLER;
}

// RSP + 0..31: the callee's home space; 32..55: arguments 5 to 7;
// 56: `fault` (kFaultSlot); the call leaves RSP 16-byte aligned.
asm(R"(
    .text
    .globl  SlotBenchCallGuarded
    .def    SlotBenchCallGuarded; .scl 2; .type 32; .endef
    .seh_proc SlotBenchCallGuarded
SlotBenchCallGuarded:
    subq    $72, %rsp
    .seh_stackalloc 72
    .seh_endprologue
    movq    %r9, 56(%rsp)
    movq    %rcx, %rax
    movq    %rdx, %r10
    movq    32(%r10), %rcx
    movq    %rcx, 32(%rsp)
    movq    40(%r10), %rcx
    movq    %rcx, 40(%rsp)
    movq    48(%r10), %rcx
    movq    %rcx, 48(%rsp)
    movq    0(%r10), %rcx
    movq    8(%r10), %rdx
    movq    16(%r10), %r8
    movq    24(%r10), %r9
.Lslotbench_guard_begin:
    callq   *%rax
    nop                             # the return address stays inside the scope
.Lslotbench_guard_end:
    addq    $72, %rsp
    ret
.Lslotbench_guard_landing:
    xorl    %eax, %eax
    addq    $72, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long   1
    .rva    .Lslotbench_guard_begin, .Lslotbench_guard_end, SlotBenchCallFaultFilter, .Lslotbench_guard_landing
    .text
    .seh_endproc
)");
