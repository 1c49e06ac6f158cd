// Test doubles for the terminal's clock and trace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/terminal.h"
#include "simulator/trace.h"

namespace ctsim_test {

// Time passes only when the terminal sleeps.
class FakeClock : public ctsim::Clock {
public:
    explicit FakeClock(uint64_t start = 1000000) : now(start) {}
    uint64_t NowMs() override { return now; }
    void SleepMs(uint32_t ms) override {
        sleeps.push_back(ms);
        now += ms;
    }
    uint64_t now;
    std::vector<uint32_t> sleeps;
};

class RecordingTrace : public ctsim::TraceSink {
public:
    void Write(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

}  // namespace ctsim_test
