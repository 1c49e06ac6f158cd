// The simulated two-slot terminal behind the three CT-API calls. Portable:
// time comes from an injected clock so that host tests never really wait.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "simulator/scenario.h"
#include "simulator/trace.h"

namespace ctsim {

// CT-API return codes.
constexpr int8_t kOk = 0;
constexpr int8_t kErrInvalid = -1;
constexpr int8_t kErrCt = -8;
constexpr int8_t kErrTrans = -10;
constexpr int8_t kErrMemory = -11;
constexpr int8_t kErrHost = -127;
constexpr int8_t kErrHtsi = -128;

// CT-API addresses.
constexpr uint8_t kAddrIcc1 = 0;
constexpr uint8_t kAddrCt = 1;
constexpr uint8_t kAddrIcc2 = 2;
constexpr uint8_t kAddrHost = 2;
constexpr uint8_t kAddrRemoteHost = 5;

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a clock that never jumps.
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
    // A REQUEST ICC waiting for a card, as opposed to any other pause: a
    // serial front tells the host meanwhile that the terminal is still busy.
    // False when the wait was cut short.
    virtual bool WaitForCard(uint32_t ms) {
        SleepMs(ms);
        return true;
    }
};

class Terminal {
public:
    // `trace` may be null; it must outlive the terminal.
    Terminal(const Scenario& scenario, Clock& clock, TraceSink* trace);

    int8_t Init(uint16_t ctn, uint16_t pn);
    int8_t Data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, const uint8_t* command,
                uint16_t* lenr, uint8_t* response);
    int8_t Close(uint16_t ctn);

    // A "# ..." line in the trace, for what is not a call (the scenario used).
    void Note(const std::string& text);

    // A call with a `fault` rule does nothing but note the fault and return
    // kErrHtsi; the front then raises the fault itself, once the call has
    // left the model (its locks and handlers). Taken once.
    FaultKind TakeFault();
    // Whether the next call of `call` is to probe pointers first (`probe`).
    bool ProbesNext(Call call) const;

private:
    struct Reply {
        int8_t result = kOk;  // not kOk: no response at all
        std::vector<uint8_t> bytes;
        uint8_t responder = kAddrCt;
    };

    int8_t DataChecked(uint32_t n, uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc,
                       const uint8_t* command, uint16_t* lenr, uint8_t* response, uint16_t& written);
    Reply Execute(uint8_t dad, const uint8_t* command, uint16_t lenc);
    Reply ResetCt(const uint8_t* command, uint16_t lenc);
    Reply RequestIcc(const uint8_t* command, uint16_t lenc);
    // The ATR part of a reset's answer, as P2 (low nibble) asks for it.
    std::vector<uint8_t> AtrAnswer(int slot, uint8_t p2) const;
    std::vector<uint8_t> CardReady(int slot, uint8_t p2) const;
    bool CardPresent(int slot, uint64_t now) const;
    void Delay(Call call, uint32_t n);
    // Notes the call's fault and keeps it for TakeFault; true when it has one.
    bool NoteFault(Call call, uint32_t n);
    uint64_t Elapsed() { return clock_.NowMs() - origin_; }

    Scenario scenario_;
    Clock& clock_;
    TraceSink* trace_;
    uint64_t origin_;
    std::set<uint16_t> open_;
    // When the first REQUEST ICC for each slot started; arrival counts from it.
    bool armed_[2] = {false, false};
    uint64_t armedAt_[2] = {0, 0};
    uint32_t initCalls_ = 0, dataCalls_ = 0, closeCalls_ = 0;
    FaultKind pendingFault_ = FaultKind::kNone;
};

// The historical bytes of a processor card's ATR; empty when it is malformed.
std::vector<uint8_t> HistoricalBytes(const std::vector<uint8_t>& atr);

}  // namespace ctsim
