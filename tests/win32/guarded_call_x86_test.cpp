// Checks the 32-bit thunk that calls the card-terminal library whatever its
// calling convention, and stops a fault the library leaves unhandled. Run
// under wine (the e2e suite does); exit code 0 when every check passed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "platform/win32/guarded_call.h"

extern "C" {
// Callees written in assembly, for what C++ cannot do on purpose: pop a wrong
// number of bytes, clobber the callee-saved registers, report the stack.
uint32_t ThunkTestPopsTooMuch();          // ret $64: pops more than it was given
uint32_t ThunkTestClobbersRegisters();    // returns with EBX, ESI and EDI changed
uint32_t ThunkTestStackAtEntry();         // returns ESP as it was at entry
uint32_t ThunkTestFaults();               // clobbers EBX, ESI, EDI and the stack, then writes to 0x10
extern const char ThunkTestFaultAt[];     // the instruction that faults
uint32_t ThunkTestFaultsTwice();          // writes to 0x10, and its own handler faults when unwound
extern const char ThunkTestFirstFaultAt[];
}

asm(R"(
    .text
    .globl _ThunkTestPopsTooMuch
_ThunkTestPopsTooMuch:
    movl    $0x7F, %eax
    ret     $64
    .globl _ThunkTestClobbersRegisters
_ThunkTestClobbersRegisters:
    movl    $0xDEAD0001, %ebx
    movl    $0xDEAD0002, %esi
    movl    $0xDEAD0003, %edi
    movl    $0xFFFFFF80, %eax
    ret
    .globl _ThunkTestStackAtEntry
_ThunkTestStackAtEntry:
    movl    %esp, %eax
    ret
    .globl _ThunkTestFaults
_ThunkTestFaults:
    movl    $0xDEAD0001, %ebx
    movl    $0xDEAD0002, %esi
    movl    $0xDEAD0003, %edi
    pushl   $0x12345678
    .globl _ThunkTestFaultAt
_ThunkTestFaultAt:
    movl    $1, 0x10
    ret
    .globl _ThunkTestFaultsTwice
_ThunkTestFaultsTwice:
    pushl   $_ThunkTestUnwindFaults
    pushl   %fs:0
    movl    %esp, %fs:0
    .globl _ThunkTestFirstFaultAt
_ThunkTestFirstFaultAt:
    movl    $1, 0x10
    ret
# Passes every exception on, and faults when asked to unwind its frame.
_ThunkTestUnwindFaults:
    movl    4(%esp), %eax
    testl   $6, 4(%eax)
    jnz     1f
    movl    $1, %eax
    ret
1:  ud2
)");

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

// Seven arguments of the CT_data shape, recorded so their order can be seen.
uint32_t g_seen[7];

uint32_t Record(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, uint32_t f, uint32_t g) {
    const uint32_t all[] = {a, b, c, d, e, f, g};
    for (int i = 0; i < 7; ++i) g_seen[i] = all[i];
    return a ^ g;
}

__attribute__((noinline)) uint32_t __stdcall SevenStdcall(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                                            uint32_t e, uint32_t f, uint32_t g) {
    return Record(a, b, c, d, e, f, g);
}

__attribute__((noinline)) uint32_t __cdecl SevenCdecl(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e,
                                                       uint32_t f, uint32_t g) {
    return Record(a, b, c, d, e, f, g);
}

__attribute__((noinline)) uint32_t __stdcall OneStdcall(uint32_t a) { return a + 1; }
__attribute__((noinline)) uint32_t __cdecl NoArguments() { return 42; }

template <class F>
const void* Address(F* function) {
    return reinterpret_cast<const void*>(function);
}

uint32_t StackPointer() {
    uint32_t esp;
    asm volatile("movl %%esp, %0" : "=r"(esp));
    return esp;
}

void ArgumentsArriveInOrder(const void* function, const char* what) {
    const uint32_t arguments[] = {1, 0x22, 0x333, 0x4444, 0x55555, 0x666666, 0x7777777};
    for (uint32_t& seen : g_seen) seen = 0;
    SlotBenchCallFault fault{};
    const uint32_t result = SlotBenchCallGuarded(function, arguments, 7, &fault);
    bool inOrder = true;
    for (int i = 0; i < 7; ++i) inOrder = inOrder && g_seen[i] == arguments[i];
    std::printf("     %s\n", what);
    Check(inOrder, "  seven arguments arrive in order");
    Check(result == (1u ^ 0x7777777u), "  the callee's EAX comes back");
}

// A stack pointer that drifted by the callee's pops would show after enough
// calls as a different ESP here, or as a crash.
void StackStaysPut(const void* function, uint32_t count, const char* what) {
    const uint32_t arguments[] = {1, 2, 3, 4, 5, 6, 7};
    const uint32_t before = StackPointer();
    SlotBenchCallFault fault{};
    for (int i = 0; i < 100000; ++i) SlotBenchCallGuarded(function, arguments, count, &fault);
    Check(StackPointer() == before, what);
}

// The thread's exception chain head, as the thunk links itself in and out.
uint32_t ChainHead() {
    uint32_t head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

// A fault the callee leaves unhandled ends the call, not the process. (One
// it handles itself is none of the thunk's business: e2e library_probing.)
void FaultsAreStopped() {
    const uint32_t head = ChainHead();
    const uint32_t before = StackPointer();
    SlotBenchCallFault fault{};
    const uint32_t result = SlotBenchCallGuarded(Address(ThunkTestFaults), nullptr, 0, &fault);
    Check(fault.faulted == 1 && fault.code == EXCEPTION_ACCESS_VIOLATION, "a write to 0x10 comes back as C0000005");
    Check(fault.address == reinterpret_cast<uintptr_t>(ThunkTestFaultAt), "  at the faulting instruction");
    Check(result == 0, "  with result 0");
    Check(ChainHead() == head && StackPointer() == before, "  the exception chain and ESP are as before");
    Check(SlotBenchCallGuarded(Address(ThunkTestFaults), nullptr, 0, &fault) == 0 && fault.faulted == 1,
          "a second fault is stopped too");
}

// A callee whose own unwind handler faults while the thunk unwinds it raises
// a second exception inside the same call: the first one is what is kept.
void FirstFaultIsKept() {
    const uint32_t head = ChainHead();
    SlotBenchCallFault fault{};
    const uint32_t result = SlotBenchCallGuarded(Address(ThunkTestFaultsTwice), nullptr, 0, &fault);
    Check(fault.faulted == 1 && fault.code == EXCEPTION_ACCESS_VIOLATION,
          "a fault whose unwinding faults again comes back as the first, C0000005");
    Check(fault.address == reinterpret_cast<uintptr_t>(ThunkTestFirstFaultAt), "  at the first faulting instruction");
    Check(result == 0 && ChainHead() == head, "  with result 0 and the exception chain as before");
}

}  // namespace

int main() {
    ArgumentsArriveInOrder(Address(SevenStdcall), "stdcall callee (pops its 28 bytes):");
    ArgumentsArriveInOrder(Address(SevenCdecl), "cdecl callee (pops nothing):");

    StackStaysPut(Address(SevenStdcall), 7, "100000 stdcall calls leave ESP where it was");
    StackStaysPut(Address(SevenCdecl), 7, "100000 cdecl calls leave ESP where it was");
    StackStaysPut(Address(ThunkTestPopsTooMuch), 1, "a callee popping more than it got leaves ESP where it was");

    const uint32_t one[] = {41};
    SlotBenchCallFault fault{};
    Check(SlotBenchCallGuarded(Address(OneStdcall), one, 1, &fault) == 42, "one argument, stdcall");
    Check(SlotBenchCallGuarded(Address(NoArguments), nullptr, 0, &fault) == 42, "no arguments at all");

    // The registers are set just before the thunk and read just after it, in
    // one asm block, so that nothing of the compiler's runs in between. ECX
    // carries the callee in and EBX's value out; EDX the fault record.
    for (const void* callee : {Address(ThunkTestClobbersRegisters), Address(ThunkTestFaults)}) {
        uint32_t ecx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(callee));
        uint32_t esi = 0, edi = 0, eax = 0;
        SlotBenchCallFault* record = &fault;
        asm volatile(
            "pushl %%ebx\n\t"
            "movl $0x0B0B0B0B, %%ebx\n\t"
            "movl $0x05050505, %%esi\n\t"
            "movl $0x0D0D0D0D, %%edi\n\t"
            "pushl %%edx\n\t"
            "pushl $0\n\t"
            "pushl $0\n\t"
            "pushl %%ecx\n\t"
            "call _SlotBenchCallGuarded\n\t"
            "addl $16, %%esp\n\t"
            "movl %%ebx, %%ecx\n\t"
            "popl %%ebx\n\t"
            : "+c"(ecx), "=S"(esi), "=D"(edi), "=a"(eax), "+d"(record)
            :
            : "memory", "cc");
        const uint32_t ebx = ecx;
        const bool faulting = callee == Address(ThunkTestFaults);
        Check(ebx == 0x0B0B0B0B && esi == 0x05050505 && edi == 0x0D0D0D0D,
              faulting ? "EBX, ESI and EDI survive a callee that clobbers them and faults"
                       : "EBX, ESI and EDI survive a callee that clobbers them");
        if (!faulting) Check(static_cast<int8_t>(eax & 0xFF) == -128, "a negative result comes back in AL");
    }
    FaultsAreStopped();
    FirstFaultIsKept();

    // A GCC-built library may keep SSE values on its stack: at entry, ESP + 4
    // must be 16-byte aligned, for any number of arguments.
    bool aligned = true;
    const uint32_t many[7] = {};
    for (uint32_t count = 0; count <= 7; ++count) {
        const uint32_t esp = SlotBenchCallGuarded(Address(ThunkTestStackAtEntry), many, count, &fault);
        aligned = aligned && (esp + 4) % 16 == 0;
    }
    Check(aligned, "the callee's stack is 16-byte aligned for 0 to 7 arguments");

    std::printf("%s\n", g_failures ? "FAILED" : "all passed");
    return g_failures ? 1 : 0;
}
