#include "bridge/call_timeout.h"

namespace bridge {

namespace {
constexpr uint8_t kClass = 0x20;
constexpr uint8_t kRequestIcc = 0x12;
constexpr uint8_t kTagWaitTime = 0x80;
}  // namespace

uint32_t RequestedWaitSeconds(uint16_t lenc, const uint8_t* command) {
    if (command == nullptr || lenc < 6 || command[0] != kClass || command[1] != kRequestIcc) return 0;
    const uint32_t lc = command[4];
    // The data, and an Le after it at most.
    if (lc == 0 || (lenc != 5 + lc && lenc != 6 + lc)) return 0;
    const uint8_t* data = command + 5;
    if (lc == 1) return data[0];
    uint32_t seconds = 0;
    for (uint32_t i = 0; i + 2 <= lc;) {
        const uint32_t len = data[i + 1];
        if (i + 2 + len > lc) return 0;
        if (data[i] == kTagWaitTime) {
            if (len == 1) seconds = data[i + 2];
            else if (len == 2) seconds = static_cast<uint32_t>(data[i + 2]) << 8 | data[i + 3];
            else return 0;
        }
        i += 2 + len;
    }
    return seconds;
}

uint32_t DataTimeoutMs(uint16_t lenc, const uint8_t* command) {
    return RequestedWaitSeconds(lenc, command) * 1000 + kAnswerMs;
}

}  // namespace bridge
