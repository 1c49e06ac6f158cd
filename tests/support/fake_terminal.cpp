#include "tests/support/fake_terminal.h"

#include <cstdio>
#include <algorithm>
#include <cstring>

#include "platform/ct_api.h"
#include "platform/system.h"

namespace fake {

Terminal& CtTerminal() {
    static Terminal terminal;
    return terminal;
}

void ResetTerminal() { CtTerminal() = Terminal{}; }

CtAnswer Status(uint8_t sw1, uint8_t sw2) {
    CtAnswer answer;
    answer.response = {sw1, sw2};
    return answer;
}

CtAnswer AnswerToReset(uint8_t sw2) {
    CtAnswer answer;
    answer.response = {0x3B, 0xD3, 0x96, 0xFF, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x07, 0x80, 0x81, 0x05, 0x2D, 0x90, sw2};
    return answer;
}

CtAnswer LibraryError(int8_t result) {
    CtAnswer answer;
    answer.result = result;
    answer.writeLength = false;
    return answer;
}

std::vector<std::string> CallTrace() {
    std::vector<std::string> lines;
    for (const CtCall& call : CtTerminal().calls) {
        char text[256];
        switch (call.kind) {
        case CtCall::Init:
            std::snprintf(text, sizeof text, "init %u %u", call.ctn, call.pn);
            break;
        case CtCall::Close:
            std::snprintf(text, sizeof text, "close %u", call.ctn);
            break;
        case CtCall::Data: {
            int n = std::snprintf(text, sizeof text, "data %u %u", call.dad, call.sad);
            for (uint8_t byte : call.command)
                n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), " %02X", byte);
            std::snprintf(text + n, sizeof text - static_cast<size_t>(n), " room %u", call.lenrOffered);
            break;
        }
        }
        lines.push_back(text);
    }
    return lines;
}

}  // namespace fake

using fake::CtTerminal;

namespace {

// Records the call and runs the test's hook; true when this call faults.
bool Record(const fake::CtCall& call, const char* name) {
    fake::Terminal& terminal = CtTerminal();
    terminal.calls.push_back(call);
    if (terminal.during) terminal.during(call);
    if (terminal.calls.size() != terminal.faultingCall) return false;
    for (platform::CtApiFault fault : terminal.faults) {
        fault.call = name;
        platform::KeepCtApiFault(fault);
    }
    return true;
}

constexpr int8_t kFaultedResult = -128;

}  // namespace

extern "C" int8_t CT_init(uint16_t ctn, uint16_t pn) {
    fake::CtCall call;
    call.kind = fake::CtCall::Init;
    call.ctn = ctn;
    call.pn = pn;
    call.at = platform::MonotonicMilliseconds();
    if (Record(call, "CT_init")) return kFaultedResult;
    return CtTerminal().initResult;
}

extern "C" int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                          uint16_t* lenr, uint8_t* response) {
    fake::CtCall call;
    call.kind = fake::CtCall::Data;
    call.ctn = ctn;
    call.dad = *dad;
    call.sad = *sad;
    call.command.assign(command, command + lenc);
    call.lenrOffered = *lenr;
    call.at = platform::MonotonicMilliseconds();
    if (Record(call, "CT_data")) return kFaultedResult;

    fake::CtAnswer answer;
    if (!CtTerminal().answers.empty()) {
        answer = CtTerminal().answers.front();
        CtTerminal().answers.pop_front();
    } else {
        answer = fake::Status(0x90, 0x00);
    }
    const uint8_t from = *dad;
    *dad = static_cast<uint8_t>(answer.dadBack >= 0 ? answer.dadBack : *sad);
    *sad = static_cast<uint8_t>(answer.sadBack >= 0 ? answer.sadBack : from);
    if (answer.ignoresRoom) std::memcpy(response, answer.response.data(), answer.response.size());
    if (answer.result != 0) {
        if (answer.writeLength && answer.reportedLength >= 0) *lenr = static_cast<uint16_t>(answer.reportedLength);
        return answer.result;
    }
    // Like a conforming library, never write more than the room offered.
    const size_t room = *lenr;
    std::memcpy(response, answer.response.data(), std::min(room, answer.response.size()));
    if (answer.writeLength)
        *lenr = static_cast<uint16_t>(answer.reportedLength >= 0 ? answer.reportedLength
                                                                 : static_cast<int>(answer.response.size()));
    return answer.result;
}

extern "C" int8_t CT_close(uint16_t ctn) {
    fake::CtCall call;
    call.kind = fake::CtCall::Close;
    call.ctn = ctn;
    call.at = platform::MonotonicMilliseconds();
    if (Record(call, "CT_close")) return kFaultedResult;
    return CtTerminal().closeResult;
}
