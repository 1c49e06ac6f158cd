// The card-terminal library's three calls, as the tool's logic makes them.
// The library is CT_ORB.dll, which exports them by ordinals 1, 2 and 3. The
// backend defines these and reaches the ordinals through a guard that stands
// between the tool and a library that faults (win32/ct_api_calls.cpp).
#pragma once

#include <cstdint>
#include <string>

extern "C" {
int8_t CT_init(uint16_t ctn, uint16_t pn);
int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
               uint8_t* response);
int8_t CT_close(uint16_t ctn);
}

namespace platform {

// A fault raised inside one of the calls above that no handler of the
// library took (what would otherwise end the process). A fault the library
// handles itself never shows here.
struct CtApiFault {
    std::string call;       // "CT_init", "CT_data" or "CT_close"
    uint32_t code = 0;      // the exception code, such as C0000005
    std::string module;     // file name of the module holding the faulting
                            // instruction; empty when no module holds it
    uint64_t offset = 0;    // the instruction's offset in that module
    uint64_t address = 0;   // the instruction's address
    int addressDigits = 8;  // hex digits of an address: 8 (32-bit) or 16 (64-bit)
};

// Kept by the backend's calls when one faulted (platform/ct_api_fault.cpp,
// shared by every backend). A fault kept and not yet taken stays: a second
// one does not replace it.
void KeepCtApiFault(const CtApiFault& fault);

// True when the last call faulted, with the fault; the library's state is
// unknown from then on. Asked after every call.
bool TakeCtApiFault(CtApiFault& fault);

}  // namespace platform
