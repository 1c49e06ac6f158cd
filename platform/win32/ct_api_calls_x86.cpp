// The card-terminal library's calls on 32-bit Windows. Nothing in a DLL says
// whether its functions pop their own arguments (stdcall) or leave them to the
// caller (cdecl); calling a cdecl library as stdcall leaves the stack pointer
// off after every call and brings the tool down. Every call therefore goes
// through the thunk, which works for both, and which also turns a fault
// inside the library into a reported one. The arguments are those of the
// CT-API, each widened to a 32-bit stack slot as both conventions pass them.
#include <cstdint>

#include "platform/ct_api.h"
#include "platform/win32/call_keeping_stack_x86.h"

extern "C" {
// Ordinals 1, 2 and 3 of CT_ORB.dll (ct_orb_import32.def); called only through the thunk.
void CtOrbInit();
void CtOrbData();
void CtOrbClose();
}

namespace {

uint32_t Slot(const void* pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

template <size_t N>
int8_t Call(const char* name, void (*ordinal)(), const uint32_t (&arguments)[N]) {
    SlotBenchCallFault fault;
    fault.faulted = 0;
    const uint32_t eax = SlotBenchCallKeepingStack(reinterpret_cast<const void*>(ordinal), arguments, N, &fault);
    return ResultOrKeptFault(name, fault, eax);
}

}  // namespace

int8_t CT_init(uint16_t ctn, uint16_t pn) {
    const uint32_t arguments[] = {ctn, pn};
    return Call("CT_init", CtOrbInit, arguments);
}

int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
               uint8_t* response) {
    const uint32_t arguments[] = {ctn, Slot(dad), Slot(sad), lenc, Slot(command), Slot(lenr), Slot(response)};
    return Call("CT_data", CtOrbData, arguments);
}

int8_t CT_close(uint16_t ctn) {
    const uint32_t arguments[] = {ctn};
    return Call("CT_close", CtOrbClose, arguments);
}
