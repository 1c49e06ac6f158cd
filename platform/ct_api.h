// The card-terminal library's three calls, as the tool's logic makes them.
// The library is CT_ORB.dll, which exports them by ordinals 1, 2 and 3. On
// 64-bit Windows they are imported directly; on 32-bit Windows the maker's
// library may be stdcall or cdecl, so the backend defines these and reaches
// the ordinals through a thunk that survives either (win32/ct_api_calls_x86.cpp).
#pragma once

#include <cstdint>

extern "C" {
int8_t CT_init(uint16_t ctn, uint16_t pn);
int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command, uint16_t* lenr,
               uint8_t* response);
int8_t CT_close(uint16_t ctn);
}
