#include "simulator/serial_front.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "simulator/tests/fakes.h"

using ctsim::Scenario;
using ctsim::SerialFront;
using ctsim_test::FakeClock;
using ctsim_test::RecordingTrace;
using t1::RError;
using t1::SType;

namespace {

using Bytes = std::vector<uint8_t>;

// The host's side of the line: what it will send, in order, one chunk per
// read, and what the terminal wrote, with the time on the fake clock.
class ScriptedLine : public ctsim::ByteLine {
public:
    explicit ScriptedLine(FakeClock& clock) : clock_(clock) {}
    bool Read(Bytes& bytes) override {
        if (incoming.empty()) return false;
        bytes.insert(bytes.end(), incoming.front().begin(), incoming.front().end());
        incoming.pop_front();
        return true;
    }
    void Write(const Bytes& bytes) override {
        written.push_back(bytes);
        writtenAt.push_back(clock_.now);
    }

    std::deque<Bytes> incoming;
    std::vector<Bytes> written;
    std::vector<uint64_t> writtenAt;

private:
    FakeClock& clock_;
};

const Bytes kResynch = {0x12, 0xC0, 0x00, 0xD2};
const Bytes kResynchAnswer = {0x21, 0xE0, 0x00, 0xC1};
const Bytes kAtr = ctsim::DefaultProcessorAtr();

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes I(uint8_t nad, bool seq, const Bytes& inf, bool more = false) {
    return t1::Encode(t1::InformationBlock(nad, seq, more, inf));
}
Bytes R(uint8_t nad, bool expected, RError error = RError::kNone) {
    return t1::Encode(t1::ReceiveReadyBlock(nad, expected, error));
}
Bytes WtxRequest() { return t1::Encode(t1::SupervisoryBlock(0x21, SType::kWtx, false, {0x01})); }
Bytes WtxResponse() { return t1::Encode(t1::SupervisoryBlock(0x12, SType::kWtx, true, {0x01})); }
Bytes Spoiled(Bytes block) {
    block.back() ^= 0xFF;
    return block;
}

const Bytes kResetTerminal = {0x20, 0x11, 0x00, 0x00};
const Bytes kResetPatient = {0x20, 0x11, 0x01, 0x01, 0x00};
const Bytes kResetDoctor = {0x20, 0x11, 0x02, 0x01, 0x00};
const Bytes kRequestPatient = {0x20, 0x12, 0x01, 0x00, 0x01, 0x3C};

class SerialFrontTest : public ::testing::Test {
protected:
    void Start(const std::string& scenarioText = "") {
        Scenario s;
        std::vector<ctsim::ScenarioError> errors;
        ASSERT_TRUE(ctsim::ParseScenario(scenarioText, s, errors)) << scenarioText;
        front_ = std::make_unique<SerialFront>(s, clock_, line_, &trace_);
    }
    // The host sends these chunks; the terminal serves until they run out.
    void Run(const std::vector<Bytes>& chunks) {
        for (const Bytes& c : chunks) line_.incoming.push_back(c);
        front_->Serve();
    }
    std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& l : trace_.lines) {
            if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
        }
        return out;
    }

    FakeClock clock_;
    ScriptedLine line_{clock_};
    RecordingTrace trace_;
    std::unique_ptr<SerialFront> front_;
};

}  // namespace

// --- The whole conversation ---------------------------------------------------

TEST_F(SerialFrontTest, ResynchThenTerminalResetAndBothSlots) {
    Start();
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x12, true, kResetPatient), I(0x52, false, kResetDoctor)});
    const Bytes atrAnswer = Join(kAtr, {0x90, 0x01});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[0], kResynchAnswer);
    EXPECT_EQ(line_.written[1], (Bytes{0x21, 0x00, 0x02, 0x90, 0x00, 0xB3}));
    EXPECT_EQ(line_.written[2], I(0x21, true, atrAnswer));
    EXPECT_EQ(line_.written[3], I(0x25, false, atrAnswer));
}

TEST_F(SerialFrontTest, TraceShowsBlocksAndTheModelsCallsInOrder) {
    Start();
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x52, true, kResetDoctor)});
    const std::vector<std::string> expected = {
        "T1 rx 12 C0 00 D2",
        "CT_init n=1 t=0 ctn=1 pn=0 result=0",
        "T1 tx 21 E0 00 C1",
        "T1 rx 12 00 04 20 11 00 00 27",
        "CT_data n=1 t=0 ctn=1 dad=01>02 sad=02>01 cmd=20110000 lenr=65535>2 rsp=9000 result=0",
        "T1 tx 21 00 02 90 00 B3",
        "T1 rx 52 40 05 20 11 02 01 00 25",
        "CT_data n=2 t=0 ctn=1 dad=05>02 sad=02>01 cmd=2011020100 lenr=65535>13 rsp=" +
            ctsim::HexBytes(kAtr.data(), kAtr.size()) + "9001 result=0",
        "T1 tx 25 40 0D 3B 86 80 01 80 53 42 53 49 4D C1 90 01 C2",
    };
    EXPECT_EQ(trace_.lines, expected);
}

TEST_F(SerialFrontTest, BlocksArrivingTogetherOrByteByByteAreAllAnswered) {
    Start();
    std::vector<Bytes> chunks = {Join(kResynch, I(0x12, false, kResetTerminal))};
    for (uint8_t b : I(0x12, true, kResetTerminal)) chunks.push_back({b});
    Run(chunks);
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], I(0x21, false, {0x90, 0x00}));
    EXPECT_EQ(line_.written[2], I(0x21, true, {0x90, 0x00}));
}

TEST_F(SerialFrontTest, ResynchRestartsSequenceNumbersButOpensTheModelOnce) {
    Start();
    Run({kResynch, I(0x12, false, kResetTerminal), kResynch, I(0x12, false, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[2], kResynchAnswer);
    // Both answers start the terminal's numbering afresh.
    EXPECT_EQ(line_.written[1], line_.written[3]);
    EXPECT_EQ(LinesStartingWith("CT_init").size(), 1u);
    EXPECT_EQ(LinesStartingWith("CT_data").size(), 2u);
}

TEST_F(SerialFrontTest, ForcedInitFailureAnswersTheResynchWithAnRBlockUntilAnInitSucceeds) {
    Start("result CT_init:1 -8\ndelay CT_init:2 700\n");
    Run({kResynch, I(0x12, false, kResetTerminal), kResynch});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[0], R(0x21, false, RError::kOther));
    // The model is not open: the exchange fails, on the line as a block to reject.
    EXPECT_EQ(line_.written[1], Spoiled(I(0x21, false, {})));
    EXPECT_EQ(line_.written[2], kResynchAnswer);
    EXPECT_EQ(line_.writtenAt[2] - line_.writtenAt[1], 700u);
    const auto inits = LinesStartingWith("CT_init");
    ASSERT_EQ(inits.size(), 2u);
    EXPECT_NE(inits[0].find("result=-8"), std::string::npos);
    EXPECT_NE(inits[1].find("n=2"), std::string::npos);
    EXPECT_NE(inits[1].find("result=0"), std::string::npos);
}

// --- Waiting for a card: WTX ----------------------------------------------------

TEST_F(SerialFrontTest, CardArrivingDuringTheWaitGetsAWtxRequestEachIntervalAndItsResponseAwaited) {
    Start("slot 1 processor arrive 2500\n");
    Run({kResynch, I(0x12, false, kRequestPatient), WtxResponse(), WtxResponse()});
    const uint64_t asked = line_.writtenAt[0];
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[1], WtxRequest());
    EXPECT_EQ(line_.writtenAt[1] - asked, 1000u);
    EXPECT_EQ(line_.written[2], WtxRequest());
    EXPECT_EQ(line_.writtenAt[2] - asked, 2000u);
    EXPECT_EQ(line_.written[3], I(0x21, false, {0x90, 0x01}));
    EXPECT_EQ(line_.writtenAt[3] - asked, 2500u);
    // Every WTX response is in the trace as received.
    EXPECT_EQ(LinesStartingWith("T1 rx 12 E3 01 01 F1").size(), 2u);
}

TEST_F(SerialFrontTest, WtxIntervalComesFromTheScenarioAndNoCardMeansTheWholeWait) {
    Start("slot 1 empty\nwait-limit 1000\nline wtx 300\n");
    Run({kResynch, I(0x12, false, kRequestPatient), WtxResponse(), WtxResponse(), WtxResponse()});
    ASSERT_EQ(line_.written.size(), 5u);
    const uint64_t asked = line_.writtenAt[0];
    EXPECT_EQ(line_.writtenAt[1] - asked, 300u);
    EXPECT_EQ(line_.writtenAt[2] - asked, 600u);
    EXPECT_EQ(line_.writtenAt[3] - asked, 900u);
    EXPECT_EQ(line_.written[4], I(0x21, false, {0x62, 0x00}));
    EXPECT_EQ(line_.writtenAt[4] - asked, 1000u);
}

TEST_F(SerialFrontTest, NoWtxForACardAlreadyThereNorDuringADelay) {
    Start("delay CT_data:2 2500\n");
    Run({kResynch, I(0x12, false, kRequestPatient), I(0x12, true, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], I(0x21, false, {0x62, 0x01}));
    EXPECT_EQ(line_.written[2], I(0x21, true, {0x90, 0x00}));
    EXPECT_EQ(line_.writtenAt[2] - line_.writtenAt[1], 2500u);
}

TEST_F(SerialFrontTest, WtxRequestIsRepeatedUntilItsResponseComes) {
    Start("slot 1 processor arrive 1500\n");
    Run({kResynch, I(0x12, false, kRequestPatient), R(0x12, false), Spoiled(WtxResponse()), WtxResponse()});
    ASSERT_EQ(line_.written.size(), 5u);
    EXPECT_EQ(line_.written[1], WtxRequest());
    EXPECT_EQ(line_.written[2], WtxRequest());
    EXPECT_EQ(line_.written[3], WtxRequest());
    EXPECT_EQ(line_.written[4], I(0x21, false, {0x90, 0x01}));
    // The card wait went on only after the response: the answer is not early.
    EXPECT_EQ(line_.writtenAt[4] - line_.writtenAt[0], 1500u);
}

TEST_F(SerialFrontTest, ResynchDuringTheWaitIsAnsweredAndTheWaitedCommandDropped) {
    Start("slot 1 processor arrive 5000\n");
    Run({kResynch, I(0x12, false, kRequestPatient), kResynch, I(0x12, false, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[1], WtxRequest());
    EXPECT_EQ(line_.written[2], kResynchAnswer);
    EXPECT_EQ(line_.written[3], I(0x21, false, {0x90, 0x00}));
    EXPECT_EQ(line_.writtenAt[2] - line_.writtenAt[0], 1000u);
}

// A host that gave up its wait and sends the next command while the terminal
// still awaits its S(WTX response): each rule answers it its own way.
TEST_F(SerialFrontTest, ABlockDuringTheWaitIsDroppedRefusedOrEndsTheWait) {
    struct Row {
        const char* rule;
        std::vector<Bytes> written;  // after the opening RESYNCH and the first WTX request
    };
    const Row rows[] = {
        {"drop", {WtxRequest(), I(0x21, false, {0x90, 0x01})}},
        {"refuse", {R(0x21, true, RError::kOther), I(0x21, false, {0x90, 0x01})}},
        // The waited command's answer goes out, to be taken for the next one's.
        {"end-wait", {I(0x21, false, {0x62, 0x00})}},
    };
    for (const Row& row : rows) {
        line_.written.clear();
        Start("slot 1 processor arrive 1500\nline in-wait " + std::string(row.rule) + "\n");
        Run({kResynch, I(0x12, false, kRequestPatient), I(0x52, true, kResetDoctor), WtxResponse()});
        std::vector<Bytes> expected = {kResynchAnswer, WtxRequest()};
        expected.insert(expected.end(), row.written.begin(), row.written.end());
        EXPECT_EQ(line_.written, expected) << row.rule;
    }
}

TEST_F(SerialFrontTest, LineGoneDuringTheWaitEndsTheServing) {
    Start("slot 1 processor arrive 5000\n");
    Run({kResynch, I(0x12, false, kRequestPatient)});
    ASSERT_EQ(line_.written.size(), 2u);
    EXPECT_EQ(line_.written[1], WtxRequest());
    EXPECT_FALSE(front_->Step());
}

// --- Chaining -------------------------------------------------------------------

TEST_F(SerialFrontTest, LongAnswerIsChainedInBlocksOfTheScenariosSize) {
    Start("line block-size 8\n");
    Run({kResynch, I(0x12, false, kResetPatient), R(0x12, true), I(0x12, true, kResetTerminal)});
    const Bytes atrAnswer = Join(kAtr, {0x90, 0x01});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[1], I(0x21, false, Bytes(atrAnswer.begin(), atrAnswer.begin() + 8), true));
    EXPECT_EQ(line_.written[2], I(0x21, true, Bytes(atrAnswer.begin() + 8, atrAnswer.end())));
    EXPECT_EQ(line_.written[3], I(0x21, false, {0x90, 0x00}));
    // One exchange for the model, whatever the number of blocks.
    EXPECT_EQ(LinesStartingWith("CT_data").size(), 2u);
}

TEST_F(SerialFrontTest, ChainedAnswerBlockIsResentWhenTheHostAsksForItAgain) {
    Start("line block-size 5\n");
    Run({kResynch, I(0x12, false, kResetPatient), R(0x12, false, RError::kCheck), R(0x12, true), R(0x12, false)});
    const Bytes a = Join(kAtr, {0x90, 0x01});
    ASSERT_EQ(line_.written.size(), 5u);
    EXPECT_EQ(line_.written[1], I(0x21, false, Bytes(a.begin(), a.begin() + 5), true));
    EXPECT_EQ(line_.written[2], line_.written[1]);
    EXPECT_EQ(line_.written[3], I(0x21, true, Bytes(a.begin() + 5, a.begin() + 10), true));
    EXPECT_EQ(line_.written[4], I(0x21, false, Bytes(a.begin() + 10, a.end())));
}

TEST_F(SerialFrontTest, HostsIfsCapsTheBlocksBelowTheScenariosSize) {
    Start("line block-size 8\n");
    const Bytes ifs = t1::Encode(t1::SupervisoryBlock(0x12, SType::kIfs, false, {0x04}));
    Run({kResynch, ifs, I(0x12, false, kResetTerminal), I(0x12, true, kResetPatient)});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[1], t1::Encode(t1::SupervisoryBlock(0x21, SType::kIfs, true, {0x04})));
    EXPECT_EQ(line_.written[3].size(), 3u + 4u + 1u);
    EXPECT_EQ(line_.written[3][1], 0x60);  // N(S) 1, more to come
}

TEST_F(SerialFrontTest, CommandChainedByTheHostIsAcknowledgedAndRunOnce) {
    Start();
    Run({kResynch, I(0x12, false, {0x20, 0x11}, true), I(0x12, true, {0x00, 0x00})});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], R(0x21, true));
    EXPECT_EQ(line_.written[2], I(0x21, false, {0x90, 0x00}));
    const auto data = LinesStartingWith("CT_data");
    ASSERT_EQ(data.size(), 1u);
    EXPECT_NE(data[0].find("cmd=20110000 "), std::string::npos);
}

// --- Errors on the line ------------------------------------------------------------

TEST_F(SerialFrontTest, WrongCheckByteFromTheHostGetsAnRBlockAndNeverReachesTheModel) {
    Start();
    Run({kResynch, Spoiled(I(0x12, true, kResetTerminal)), I(0x12, true, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], R(0x21, false, RError::kCheck));
    EXPECT_EQ(line_.written[2], I(0x21, false, {0x90, 0x00}));
    EXPECT_EQ(LinesStartingWith("CT_data").size(), 1u);
}

TEST_F(SerialFrontTest, ImpossibleLengthGetsAnRBlockWithOtherError) {
    Start();
    Run({kResynch, I(0x12, false, kResetTerminal), {0x12, 0x40, 0xFF, 0x00}});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[2], R(0x21, true, RError::kOther));
}

TEST_F(SerialFrontTest, RBlockAfterAnAnswerBringsTheSameBlockAgain) {
    Start();
    Run({kResynch, I(0x12, false, kResetPatient), R(0x12, true), R(0x12, false, RError::kCheck)});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[2], line_.written[1]);
    EXPECT_EQ(line_.written[3], line_.written[1]);
    EXPECT_EQ(LinesStartingWith("CT_data").size(), 1u);
}

TEST_F(SerialFrontTest, RBlockBeforeAnythingWasSentGetsAnRBlock) {
    Start();
    Run({kResynch, R(0x12, false)});
    ASSERT_EQ(line_.written.size(), 2u);
    EXPECT_EQ(line_.written[1], R(0x21, false, RError::kOther));
}

// --- Faults a scenario asks for ---------------------------------------------------

TEST_F(SerialFrontTest, LrcFaultSpoilsOnlyThatCallsFirstBlockAndAnRBlockGetsTheRealOne) {
    Start("line lrc CT_data:2\nline block-size 8\n");
    // The host asks again for the block it could not read: N(R) is that block's N(S).
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x12, true, kResetPatient), R(0x12, true),
         I(0x12, false, kResetTerminal)});
    const Bytes a = Join(kAtr, {0x90, 0x01});
    const Bytes first = I(0x21, true, Bytes(a.begin(), a.begin() + 8), true);
    ASSERT_EQ(line_.written.size(), 5u);
    EXPECT_EQ(line_.written[1], I(0x21, false, {0x90, 0x00}));
    EXPECT_EQ(line_.written[2], Spoiled(first));
    EXPECT_EQ(line_.written[3], first);
    // A new command drops the rest of the chain.
    EXPECT_EQ(line_.written[4], I(0x21, false, {0x90, 0x00}));
}

TEST_F(SerialFrontTest, GarbageFaultSendsTheScenariosBytesOrTheDefaultJunk) {
    Start("line garbage CT_data:1 01 02 03\nline garbage CT_data:3\n");
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x12, true, kResetTerminal), I(0x12, false, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[1], (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(line_.written[2], I(0x21, true, {0x90, 0x00}));
    EXPECT_EQ(line_.written[3], ctsim::DefaultLineGarbage());
    EXPECT_EQ(LinesStartingWith("T1 tx 01 02 03").size(), 1u);
    // The model answered all three.
    EXPECT_EQ(LinesStartingWith("CT_data").size(), 3u);
}

TEST_F(SerialFrontTest, SilentFaultSendsNothingAndSaysSoInTheTrace) {
    Start("line silent CT_data:1\n");
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x12, true, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 2u);
    EXPECT_EQ(line_.written[1], I(0x21, true, {0x90, 0x00}));
    EXPECT_EQ(LinesStartingWith("T1 silent").size(), 1u);
    const auto& lines = trace_.lines;
    const auto silent = std::find(lines.begin(), lines.end(), "T1 silent");
    ASSERT_NE(silent, lines.end());
    EXPECT_EQ((silent - 1)->rfind("CT_data n=1 ", 0), 0u);
}

TEST_F(SerialFrontTest, SilentOpenLeavesThatResynchUnanswered) {
    Start("line silent CT_init:1\n");
    Run({kResynch, kResynch, I(0x12, false, kResetTerminal)});
    // The second RESYNCH opens the terminal, and the command is answered.
    ASSERT_EQ(line_.written.size(), 2u);
    EXPECT_EQ(line_.written[1], I(0x21, false, {0x90, 0x00}));
    EXPECT_EQ(LinesStartingWith("T1 silent").size(), 1u);
}

TEST_F(SerialFrontTest, ExchangesAreCountedPerChainNotPerBlock) {
    Start("line silent CT_data:2\n");
    Run({kResynch, I(0x12, false, {0x20, 0x11}, true), I(0x12, true, {0x00, 0x00}), I(0x12, false, kResetTerminal),
         I(0x12, true, kResetTerminal)});
    // Ack of the chained command, its answer, silence for the second exchange, the third's answer.
    ASSERT_EQ(line_.written.size(), 4u);
    EXPECT_EQ(line_.written[3], I(0x21, false, {0x90, 0x00}));
}

TEST_F(SerialFrontTest, ForcedResultGoesOutAsABlockTheHostMustReject) {
    Start("result CT_data:1 -10\n");
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x12, true, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], Spoiled(I(0x21, false, {})));
    EXPECT_EQ(line_.written[2], I(0x21, true, {0x90, 0x00}));
    EXPECT_NE(LinesStartingWith("CT_data n=1")[0].find("result=-10"), std::string::npos);
}

TEST_F(SerialFrontTest, ForcedStatusIsCarriedAndForcedLengthHasNoMeaningOnTheLine) {
    Start("status CT_data:1 6F 00 data 01 02\nlength CT_data:2 1\n");
    Run({kResynch, I(0x12, false, kResetTerminal), I(0x12, true, kResetTerminal)});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], I(0x21, false, {0x01, 0x02, 0x6F, 0x00}));
    EXPECT_EQ(line_.written[2], I(0x21, true, {0x90, 0x00}));
}

TEST_F(SerialFrontTest, CardCommandsGoToTheSlotsAndAnswerFromThere) {
    Start("slot 2 empty\n");
    Run({kResynch, I(0x02, false, {0x00, 0xA4, 0x04, 0x00}), I(0x22, true, {0x00, 0xA4, 0x04, 0x00})});
    ASSERT_EQ(line_.written.size(), 3u);
    EXPECT_EQ(line_.written[1], I(0x20, false, {0x6E, 0x00}));
    EXPECT_EQ(line_.written[2], I(0x22, true, {0x64, 0xA1}));
}
