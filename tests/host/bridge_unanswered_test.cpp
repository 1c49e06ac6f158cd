// The wine bridge's reading of a CT_data that returned: an answer, or a call
// the library gave up with nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bridge/unanswered.h"

TEST(BridgeUnanswered, OnlyALengthAndRoomLeftAsTheyWereAreNoAnswer) {
    struct Row {
        const char* what;
        int8_t result;
        uint16_t room, lenr;         // lenr as the library left it
        std::vector<uint8_t> tail;   // written to end at the room's end
        bool nothing;
    } const rows[] = {
        {"the library gave up", 0, 100, 100, {}, true},
        {"a status word", 0, 100, 2, {}, false},
        {"an answer filling the room", 0, 100, 100, {0x90, 0x00}, false},
        {"a failed call", -1, 100, 100, {}, false},
        {"a two-byte room, nothing written", 0, 2, 2, {}, true},
        {"a two-byte room, its status word", 0, 2, 2, {0x62, 0x00}, false},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> response(65535 + 64, 0x00);
        bridge::MarkUnanswered(response.data(), row.room);
        std::copy(row.tail.begin(), row.tail.end(), response.begin() + row.room - row.tail.size());
        EXPECT_EQ(row.nothing, bridge::AnsweredNothing(row.result, row.room, row.lenr, response.data())) << row.what;
    }
}
