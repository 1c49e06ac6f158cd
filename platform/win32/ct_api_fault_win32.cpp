// The fault of a card-terminal library call, told by the module that holds
// the faulting instruction: the maker needs the file and the offset, which
// do not change from one run to the next as the address does.
#include <windows.h>

#include <string>

#include "platform/ct_api.h"
#include "platform/win32/call_fault.h"

void KeepCtApiFault(const char* call, const SlotBenchCallFault& fault) {
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
    platform::KeepCtApiFault(described);
}
