// The card-terminal library's calls on 64-bit Windows: one calling
// convention, but the same guard as on 32-bit, so that a fault inside the
// library is reported instead of ending the process.
#include <cstdint>

#include "platform/ct_api.h"
#include "platform/win32/call_guarded_x64.h"

extern "C" {
// Ordinals 1, 2 and 3 of CT_ORB.dll (ct_orb_import64.def); called only through the guard.
void CtOrbInit();
void CtOrbData();
void CtOrbClose();
}

namespace {

uint64_t Slot(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

int8_t Call(const char* name, void (*ordinal)(), const uint64_t (&arguments)[7]) {
    SlotBenchCallFault fault;
    fault.faulted = 0;
    const uint64_t rax = SlotBenchCallGuarded(reinterpret_cast<const void*>(ordinal), arguments, &fault);
    return ResultOrKeptFault(name, fault, rax);
}

}  // namespace

int8_t CT_init(uint16_t ctn, uint16_t pn) {
    const uint64_t arguments[7] = {ctn, pn};
    return Call("CT_init", CtOrbInit, arguments);
}

int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
               uint8_t* response) {
    const uint64_t arguments[7] = {ctn, Slot(dad), Slot(sad), lenc, Slot(command), Slot(lenr), Slot(response)};
    return Call("CT_data", CtOrbData, arguments);
}

int8_t CT_close(uint16_t ctn) {
    const uint64_t arguments[7] = {ctn};
    return Call("CT_close", CtOrbClose, arguments);
}
