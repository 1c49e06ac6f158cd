// For targets that never reach the terminal: the logic links against the
// CT-API all the same.
#include "platform/ct_api.h"

extern "C" int8_t CT_init(uint16_t, uint16_t) { return -1; }
extern "C" int8_t CT_close(uint16_t) { return -1; }

extern "C" int8_t CT_data(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t*, uint8_t*) { return -1; }
