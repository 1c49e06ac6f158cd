// The 32-bit body of SlotBenchCallGuarded, a thunk. EBP is callee-saved in
// both conventions, so the frame it anchors survives the call and ESP is
// restored from it; the callee's own pops, if any, are simply forgotten. The
// arguments are copied below a 16-byte aligned boundary, so the callee starts
// with the stack aligned as a GCC-built library may expect.
//
// Around the call alone, an exception registration record (fs:[0]) in the
// thunk's frame: the system asks its handler only about exceptions that every
// handler of the callee passed on (a library probing pointers with
// IsBadReadPtr handles its own), the very ones that would end the process.
// The handler keeps the code and the address, unwinds the callee's frames as
// the system does for a handler that takes an exception, and resumes at the
// thunk's landing with the thunk's frame. Images built by mingw-w64 carry no
// SafeSEH table, so the system accepts a handler in ours.
#include "platform/win32/guarded_call.h"

asm(R"(
    .text
    .globl  _SlotBenchCallGuarded
    .def    _SlotBenchCallGuarded; .scl 2; .type 32; .endef
_SlotBenchCallGuarded:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    pushl   $_SlotBenchCallFaultHandler
    pushl   %fs:0                   # -20(%ebp): the registration record, not linked yet
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
2:  leal    -20(%ebp), %eax         # the record goes first in the thread's chain
    movl    %eax, %fs:0
    call    *8(%ebp)
3:  movl    -20(%ebp), %ecx         # and leaves it (EAX holds the result)
    movl    %ecx, %fs:0
    leal    -12(%ebp), %esp         # back to the saved registers, whatever was popped
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
4:  xorl    %eax, %eax              # the landing after a fault: EBP is the frame again
    jmp     3b

# cdecl (EXCEPTION_RECORD*, registration record, CONTEXT*, dispatcher context)
_SlotBenchCallFaultHandler:
    movl    4(%esp), %eax
    testl   $6, 4(%eax)             # EXCEPTION_UNWINDING or EXCEPTION_EXIT_UNWIND:
    jz      5f                      # someone further out is unwinding us; let them
    movl    $1, %eax                # ExceptionContinueSearch
    ret
5:  movl    8(%esp), %esi
    leal    20(%esi), %ebp          # the thunk's frame
    movl    20(%ebp), %edi          # its fault argument
    cmpl    $0, (%edi)              # already faulted (guarded_call.h)
    jne     7f
    movl    $1, (%edi)
    movl    (%eax), %ecx            # ExceptionCode
    movl    %ecx, 4(%edi)
    movl    12(%eax), %ecx          # ExceptionAddress
    movl    %ecx, 8(%edi)
7:  pushl   $0
    pushl   %eax
    pushl   $6f                     # where RtlUnwind comes back to, whichever way it does
    pushl   %esi
    call    _RtlUnwind@16           # runs the callee's unwind handlers; our record is first again
6:  jmp     4b
)");
