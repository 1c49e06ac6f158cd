// Telling a CT_data the library returned without an answer. Portable, so
// that it is tested on the host.
//
// A serial library that stops granting a terminal's requests for more time
// may return 0 from CT_data all the same, with neither the length nor the
// response written: Debian's libctapimkt does so at the tenth S(WTX request)
// of one call. The terminal is still busy with the command then, and its
// answer would come to the next one.
#pragma once

#include <cstdint>

namespace bridge {

// Marks the end of the room offered, where an answer that fills it exactly
// has its status word. Before the call; `response` holds at least `room`
// bytes.
void MarkUnanswered(uint8_t* response, uint16_t room);

// Whether a call that returned `result` left the length as offered and the
// mark in place: no status word starts with FF, so no answer is there.
bool AnsweredNothing(int8_t result, uint16_t room, uint16_t lenr, const uint8_t* response);

}  // namespace bridge
