// The thunk behind SlotBenchCallKeepingStack. EBP is callee-saved in both
// conventions, so the frame it anchors survives the call and ESP is restored
// from it; the callee's own pops, if any, are simply forgotten. The arguments
// are copied below a 16-byte aligned boundary, so the callee starts with the
// stack aligned as a GCC-built library may expect.
#include "platform/win32/call_keeping_stack_x86.h"

asm(R"(
    .text
    .globl  _SlotBenchCallKeepingStack
    .def    _SlotBenchCallKeepingStack; .scl 2; .type 32; .endef
_SlotBenchCallKeepingStack:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    12(%ebp), %edx          # arguments
    movl    16(%ebp), %ecx          # count
    leal    0(,%ecx,4), %eax
    subl    %eax, %esp
    andl    $-16, %esp
1:  testl   %ecx, %ecx
    jz      2f
    decl    %ecx
    movl    (%edx,%ecx,4), %eax
    movl    %eax, (%esp,%ecx,4)
    jmp     1b
2:  call    *8(%ebp)
    leal    -12(%ebp), %esp         # back to the saved registers, whatever was popped
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
)");
