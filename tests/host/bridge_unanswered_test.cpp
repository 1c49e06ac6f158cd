// The wine bridge's reading of a CT_data that returned 0: an answer, or a
// call the library gave up with nothing written.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bridge/unanswered.h"

namespace {

TEST(BridgeUnanswered, OnlyALengthAndRoomLeftAsTheyWereAreNoAnswer) {
    struct Row {
        const char* what;
        int8_t result;
        uint16_t room;
        uint16_t lenr;  // as the library left it
        std::vector<uint8_t> written;  // from the start of the buffer
        bool nothing;
    };
    const std::vector<uint8_t> hundred(98, 0x00);
    std::vector<uint8_t> fullAnswer = hundred;
    fullAnswer.insert(fullAnswer.end(), {0x90, 0x00});
    std::vector<uint8_t> fullFF = hundred;
    fullFF.insert(fullFF.end(), {0xFF, 0xFF});
    const Row rows[] = {
        {"the library gave up", 0, 100, 100, {}, true},
        {"a status word", 0, 100, 2, {0x90, 0x00}, false},
        {"an answer filling the room", 0, 100, 100, fullAnswer, false},
        {"a room ending in FF FF from the library", 0, 100, 100, fullFF, true},
        {"a longer answer than the room", 0, 100, 202, {0x90, 0x00}, false},
        {"a failed call", -1, 100, 100, {}, false},
        {"a two-byte room, nothing written", 0, 2, 2, {}, true},
        {"a two-byte room, its status word", 0, 2, 2, {0x62, 0x00}, false},
        {"no room, nothing written", 0, 0, 0, {}, true},
        {"no room, a status word", 0, 0, 2, {0x90, 0x00}, false},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> response(65535 + 64, 0x00);
        bridge::MarkUnanswered(response.data(), row.room);
        for (size_t i = 0; i < row.written.size(); ++i) response[i] = row.written[i];
        EXPECT_EQ(row.nothing, bridge::AnsweredNothing(row.result, row.room, row.lenr, response.data())) << row.what;
    }
}

}  // namespace
