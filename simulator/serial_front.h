// The terminal model answering on a serial line in T=1 blocks, the way serial
// CT-BCS terminals do. Portable: the line and the clock are injected, so that
// host tests play the host's part and never really wait.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "simulator/scenario.h"
#include "simulator/t1_block.h"
#include "simulator/terminal.h"
#include "simulator/trace.h"

namespace ctsim {

class ByteLine {
public:
    virtual ~ByteLine() = default;
    // Appends at least one received byte, waiting as long as it takes;
    // false when the line is gone for good.
    virtual bool Read(std::vector<uint8_t>& bytes) = 0;
    virtual void Write(const std::vector<uint8_t>& bytes) = 0;
};

// The wire carries no terminal number: every exchange goes to this one.
constexpr uint16_t kLineTerminalNumber = 1;

class SerialFront {
public:
    // Everything passed in must outlive the front; `trace` may be null.
    SerialFront(const Scenario& scenario, Clock& clock, ByteLine& line, TraceSink* trace);

    // Answers the host until the line is gone.
    void Serve();
    // Handles the next received block, reading as long as it takes; false
    // when the line is gone.
    bool Step();

    // A "# ..." line in the trace.
    void Note(const std::string& text) { terminal_.Note(text); }

private:
    // The model's clock, but a card wait sends WTX requests meanwhile.
    class CardWaitClock : public Clock {
    public:
        explicit CardWaitClock(SerialFront& front) : front_(front) {}
        uint64_t NowMs() override { return front_.clock_.NowMs(); }
        void SleepMs(uint32_t ms) override { front_.clock_.SleepMs(ms); }
        bool WaitForCard(uint32_t ms) override { return front_.WaitWithWtx(ms); }

    private:
        SerialFront& front_;
    };

    // The next block off the line, traced; false when the line is gone.
    bool NextReceived(t1::Received& received);
    void Handle(const t1::Received& received);
    void OnSupervisory(const t1::Block& block);
    void OnResynch(uint8_t nad);
    void OnInformation(const t1::Block& block);
    void OnReceiveReady(const t1::Block& block);
    void Exchange(uint8_t nad, const std::vector<uint8_t>& command);
    void QueueAnswer(const std::vector<uint8_t>& answer);
    void SendNextPiece(const LineFault* fault);
    // False when the wait was cut short.
    bool WaitWithWtx(uint32_t ms);
    // Sends an S(WTX request) and reads until its response; false when the
    // wait ends here: the line is gone, the host resynchronised, or (in-wait
    // end-wait) another block came.
    bool AskForMoreTime();
    void ResetLink();

    void Send(const t1::Block& block) { Write(t1::Encode(block)); }
    void Write(const std::vector<uint8_t>& bytes);
    void TraceLine(const std::string& line);

    Scenario scenario_;
    Clock& clock_;
    ByteLine& line_;
    TraceSink* trace_;
    CardWaitClock waitClock_;
    Terminal terminal_;

    t1::Decoder decoder_;
    bool lineGone_ = false;
    bool modelOpen_ = false;
    uint32_t exchanges_ = 0;
    uint32_t opens_ = 0;  // RESYNCHs that would open the terminal

    // Link state, reset by RESYNCH.
    bool ownSequence_ = false;   // N(S) of the next I-block the terminal sends
    bool hostExpected_ = false;  // N(S) expected of the host's next I-block
    size_t hostBlockSize_ = t1::kMaxInf;  // what the host said it takes (S(IFS))
    uint8_t replyNad_ = 0x21;
    std::vector<uint8_t> hostChain_;           // a command arriving in pieces
    std::deque<std::vector<uint8_t>> pieces_;  // the answer's blocks still to send
    std::vector<uint8_t> lastBlock_;           // as sent, for a host's R-block
    bool lastSequence_ = false;
    bool exchangeAbandoned_ = false;
};

}  // namespace ctsim
