// A scripted card terminal standing in for the CT-API library in host tests.
// It answers each call from the script the test gives it and records every
// call with its arguments and bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ct_api.h"

namespace fake {

struct CtCall {
    enum Kind { Init, Data, Close } kind = Init;
    uint16_t ctn = 0;
    uint16_t pn = 0;                  // CT_init
    uint8_t dad = 0, sad = 0;         // CT_data, as passed in
    std::vector<uint8_t> command;     // CT_data
    uint16_t lenrOffered = 0;         // CT_data: the room the caller offered
    uint64_t at = 0;                  // the monotonic time of the call
};

// The answer to one CT_data call: result code, response bytes, and
// optionally a reported length other than the response's size and address
// bytes written back.
struct CtAnswer {
    int8_t result = 0;
    std::vector<uint8_t> response;
    int reportedLength = -1;          // -1: the response's size
    int dadBack = -1, sadBack = -1;   // -1: swapped as a terminal does
    bool writeLength = true;          // false: the library leaves lenr alone
    // true: the whole response is written whatever room was offered, even by a
    // failing call, as a real serial library was seen to do.
    bool ignoresRoom = false;
};

struct Terminal {
    int8_t initResult = 0;
    int8_t closeResult = 0;
    std::deque<CtAnswer> answers;     // one per CT_data call, in order
    std::vector<CtCall> calls;
    // Runs inside every call, while the caller is blocked in it.
    std::function<void(const CtCall&)> during;
    // The call, counted from 1 over all three kinds, that faults inside the
    // library instead of answering (0: none), and the faults it raises, in
    // order (a second one: the library's unwind code faulting again); the
    // call's name is filled in. It is recorded in `calls` like any other.
    size_t faultingCall = 0;
    std::vector<platform::CtApiFault> faults;
};

Terminal& CtTerminal();
void ResetTerminal();

// Answers for common cases.
CtAnswer Status(uint8_t sw1, uint8_t sw2);
CtAnswer AnswerToReset(uint8_t sw2 = 0x01);  // an ATR followed by 90 sw2
CtAnswer LibraryError(int8_t result);

// The calls as text, one per call ("init 1 3", "data 1 2 20 11 00 00 room 100",
// "close 1"), for assertions that read like a trace.
std::vector<std::string> CallTrace();

}  // namespace fake
