// The card-terminal library's three calls, declared as the maker's library
// exports them (by ordinals 1, 2 and 3 of CT_ORB.dll; stdcall on 32-bit Windows).
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define CT_API_CALL __stdcall
#else
#define CT_API_CALL
#endif

extern "C" {
int8_t CT_API_CALL CT_init(uint16_t ctn, uint16_t pn);
int8_t CT_API_CALL CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc,
                           uint8_t* command, uint16_t* lenr, uint8_t* response);
int8_t CT_API_CALL CT_close(uint16_t ctn);
}
