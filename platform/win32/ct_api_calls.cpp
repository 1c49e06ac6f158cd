// The card-terminal library's calls, each through the guarded call
// (guarded_call.h). The arguments are those of the CT-API, each widened to a
// pointer-sized slot as both architectures pass them.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/ct_api.h"
#include "platform/win32/guarded_call.h"

extern "C" {
// Ordinals 1, 2 and 3 of CT_ORB.dll (ct_orb_import.def); called only through the guard.
void CtOrbInit();
void CtOrbData();
void CtOrbClose();
}

namespace {

uintptr_t Slot(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// The fault, told by the module that holds the faulting instruction: the
// maker needs the file and the offset, which do not change from one run to
// the next as the address does.
platform::CtApiFault Described(const char* call, const SlotBenchCallFault& fault) {
    platform::CtApiFault described;
    described.call = call;
    described.code = fault.code;
    described.address = fault.address;
    described.addressDigits = static_cast<int>(sizeof(void*) * 2);
    HMODULE module = nullptr;
    char path[MAX_PATH * 4];
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(fault.address), &module)) {
        const DWORD length = GetModuleFileNameA(module, path, sizeof path);
        if (length > 0 && length < sizeof path) {
            const std::string file(path, length);
            described.module = file.substr(file.find_last_of("\\/") + 1);
            described.offset = fault.address - reinterpret_cast<uintptr_t>(module);
        }
    }
    return described;
}

// The CT-API result from the accumulator the library left (a signed char,
// in AL), or, when the call faulted, -128 with the fault kept: the logic
// asks for the fault first and never reads that value.
int8_t Call(const char* name, void (*ordinal)(), const uintptr_t (&arguments)[7], uint32_t count) {
    SlotBenchCallFault fault{};
    const uintptr_t accumulator =
        SlotBenchCallGuarded(reinterpret_cast<const void*>(ordinal), arguments, count, &fault);
    if (fault.faulted == 0) return static_cast<int8_t>(accumulator & 0xFFu);
    platform::KeepCtApiFault(Described(name, fault));
    return -128;
}

}  // namespace

int8_t CT_init(uint16_t ctn, uint16_t pn) {
    const uintptr_t arguments[7] = {ctn, pn};
    return Call("CT_init", CtOrbInit, arguments, 2);
}

int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
               uint8_t* response) {
    const uintptr_t arguments[7] = {ctn, Slot(dad), Slot(sad), lenc, Slot(command), Slot(lenr), Slot(response)};
    return Call("CT_data", CtOrbData, arguments, 7);
}

int8_t CT_close(uint16_t ctn) {
    const uintptr_t arguments[7] = {ctn};
    return Call("CT_close", CtOrbClose, arguments, 1);
}
