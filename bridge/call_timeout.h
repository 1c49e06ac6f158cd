// How long the wine bridge lets one CT-API call run before it gives up on
// the terminal. Portable, so the arithmetic is tested on the host.
#pragma once

#include <cstdint>

namespace bridge {

// CT_init and CT_data of a terminal that answers took under 1 ms over a
// pseudo-terminal, and a 9600-baud line adds some 30 ms: ten seconds leaves
// room for a slow line and a terminal that asks for more time.
constexpr uint32_t kAnswerMs = 10000;

// The wait a CT-BCS REQUEST ICC (class 20, INS 12) asks the terminal for, in
// seconds: a bare byte, or the value of tag 80 (one or two bytes). 0 for any
// other command, and for one whose data cannot be read.
uint32_t RequestedWaitSeconds(uint16_t lenc, const uint8_t* command);

// The time-out for CT_data with this command: the terminal's own wait, if it
// has one, plus kAnswerMs. CT_init and CT_close take kAnswerMs.
uint32_t DataTimeoutMs(uint16_t lenc, const uint8_t* command);

}  // namespace bridge
