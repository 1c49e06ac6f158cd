#include "bridge/unanswered.h"

namespace bridge {

namespace {

constexpr uint8_t kMark = 0xFF;

}  // namespace

void MarkUnanswered(uint8_t* response, uint16_t room) {
    for (uint16_t at = room < 2 ? 0 : room - 2; at < room; ++at) response[at] = kMark;
}

bool AnsweredNothing(int8_t result, uint16_t room, uint16_t lenr, const uint8_t* response) {
    if (result != 0 || lenr != room) return false;
    for (uint16_t at = room < 2 ? 0 : room - 2; at < room; ++at) {
        if (response[at] != kMark) return false;
    }
    return true;
}

}  // namespace bridge
