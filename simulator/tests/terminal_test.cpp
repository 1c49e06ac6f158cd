#include "simulator/terminal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/tests/fakes.h"

using ctsim::Scenario;
using ctsim::Terminal;
using ctsim_test::FakeClock;
using ctsim_test::RecordingTrace;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kOk9000 = {0x90, 0x00};

Bytes Join(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

struct Answer {
    int8_t result = 0;
    uint8_t dad = 0, sad = 0;
    uint16_t lenr = 0;
    Bytes rsp;  // the first lenr bytes of the buffer, as a caller would read them
    Bytes buffer;
};

class TerminalTest : public ::testing::Test {
protected:
    Scenario ParseOrFail(const std::string& text) {
        Scenario s;
        std::vector<ctsim::ScenarioError> errors;
        EXPECT_TRUE(ctsim::ParseScenario(text, s, errors)) << text;
        return s;
    }

    void Start(const std::string& scenarioText = "") {
        terminal_ = std::make_unique<Terminal>(ParseOrFail(scenarioText), clock_, &trace_);
    }

    void Open(uint16_t ctn = 1) {
        if (!terminal_) Start();
        ASSERT_EQ(terminal_->Init(ctn, 3), ctsim::kOk);
    }

    Answer Send(const Bytes& command, uint8_t dad = 1, uint16_t room = 258, uint8_t sad = 2, uint16_t ctn = 1) {
        Answer a;
        a.dad = dad;
        a.sad = sad;
        a.lenr = room;
        a.buffer.assign(300, 0xEE);
        Bytes cmd = command;
        a.result = terminal_->Data(ctn, &a.dad, &a.sad, static_cast<uint16_t>(cmd.size()), cmd.data(), &a.lenr,
                                   a.buffer.data());
        if (a.result == ctsim::kOk) a.rsp.assign(a.buffer.begin(), a.buffer.begin() + std::min<size_t>(a.lenr, 300));
        return a;
    }

    FakeClock clock_;
    RecordingTrace trace_;
    std::unique_ptr<Terminal> terminal_;
};

const Bytes kDefaultAtr = ctsim::DefaultProcessorAtr();

}  // namespace

// --- Opening and closing --------------------------------------------------

TEST_F(TerminalTest, InitOpensOnceAndCloseOnlyWhatIsOpen) {
    Start();
    EXPECT_EQ(terminal_->Close(1), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Init(1, 3), ctsim::kOk);
    EXPECT_EQ(terminal_->Init(1, 4), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Init(2, 3), ctsim::kOk);
    EXPECT_EQ(terminal_->Close(1), ctsim::kOk);
    EXPECT_EQ(terminal_->Close(1), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Init(1, 3), ctsim::kOk);
}

TEST_F(TerminalTest, DataNeedsAnOpenTerminalNumber) {
    Start();
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).result, ctsim::kErrInvalid);
    Open(7);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}, 1, 258, 2, 1).result, ctsim::kErrInvalid);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}, 1, 258, 2, 7).result, ctsim::kOk);
    ASSERT_EQ(terminal_->Close(7), ctsim::kOk);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}, 1, 258, 2, 7).result, ctsim::kErrInvalid);
}

TEST_F(TerminalTest, NullPointersAndAnEmptyCommandAreInvalid) {
    Open();
    uint8_t cmd[] = {0x20, 0x11, 0x00, 0x00};
    uint8_t rsp[16];
    uint8_t dad = 1, sad = 2;
    uint16_t lenr = sizeof rsp;
    EXPECT_EQ(terminal_->Data(1, nullptr, &sad, 4, cmd, &lenr, rsp), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Data(1, &dad, nullptr, 4, cmd, &lenr, rsp), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Data(1, &dad, &sad, 4, nullptr, &lenr, rsp), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Data(1, &dad, &sad, 4, cmd, nullptr, rsp), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Data(1, &dad, &sad, 4, cmd, &lenr, nullptr), ctsim::kErrInvalid);
    EXPECT_EQ(terminal_->Data(1, &dad, &sad, 0, cmd, &lenr, rsp), ctsim::kErrInvalid);
    EXPECT_EQ(dad, 1);
    EXPECT_EQ(sad, 2);
    EXPECT_EQ(lenr, sizeof rsp);
}

// --- Addresses ------------------------------------------------------------

TEST_F(TerminalTest, AddressesAreSwappedOnReturn) {
    Open();
    const Answer fromHost = Send({0x20, 0x11, 0x00, 0x00}, 1, 258, 2);
    EXPECT_EQ(fromHost.dad, 2);
    EXPECT_EQ(fromHost.sad, 1);
    const Answer fromRemote = Send({0x20, 0x11, 0x00, 0x00}, 1, 258, 5);
    EXPECT_EQ(fromRemote.dad, 5);
    EXPECT_EQ(fromRemote.sad, 1);
}

TEST_F(TerminalTest, TerminalCommandsAreTakenWhateverTheDestination) {
    Open();
    for (uint8_t dad : {0, 1, 2, 5, 9}) {
        const Answer a = Send({0x20, 0x11, 0x01, 0x01}, dad);
        ASSERT_EQ(a.result, ctsim::kOk) << int(dad);
        EXPECT_EQ(a.rsp, Join(kDefaultAtr, {0x90, 0x01})) << int(dad);
        EXPECT_EQ(a.sad, 1) << "the terminal answers, dad " << int(dad);
    }
}

TEST_F(TerminalTest, ASourceOtherThanAHostIsInvalid) {
    Open();
    const Answer a = Send({0x20, 0x11, 0x00, 0x00}, 1, 258, 1);
    EXPECT_EQ(a.result, ctsim::kErrInvalid);
    EXPECT_EQ(a.dad, 1);
    EXPECT_EQ(a.sad, 1);
}

TEST_F(TerminalTest, CommandsOutsideTheTerminalClass) {
    Start("slot 2 empty\n");
    Open();
    const Answer toTerminal = Send({0x00, 0xA4, 0x04, 0x00}, 1);
    EXPECT_EQ(toTerminal.rsp, (Bytes{0x6E, 0x00}));
    EXPECT_EQ(toTerminal.sad, 1);
    const Answer toCard = Send({0x00, 0xA4, 0x04, 0x00}, 0);
    EXPECT_EQ(toCard.rsp, (Bytes{0x6E, 0x00}));
    EXPECT_EQ(toCard.sad, 0) << "the card in slot 1 answers";
    const Answer toEmptySlot = Send({0x00, 0xA4, 0x04, 0x00}, 2);
    EXPECT_EQ(toEmptySlot.rsp, (Bytes{0x64, 0xA1}));
    EXPECT_EQ(toEmptySlot.sad, 1);
    EXPECT_EQ(Send({0x00, 0xA4, 0x04, 0x00}, 9).result, ctsim::kErrInvalid);
}

// --- RESET CT -------------------------------------------------------------

TEST_F(TerminalTest, ResetTheTerminal) {
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).rsp, kOk9000);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00, 0x00}).rsp, kOk9000);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x01}).rsp, (Bytes{0x6A, 0x00}));
}

TEST_F(TerminalTest, ResetAProcessorCardAnswersAsP2Asks) {
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x00}).rsp, (Bytes{0x90, 0x01}));
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x01, 0x00}).rsp, Join(kDefaultAtr, {0x90, 0x01}));
    EXPECT_EQ(Send({0x20, 0x11, 0x02, 0x02, 0x00}).rsp,
              Join(ctsim::HistoricalBytes(kDefaultAtr), {0x90, 0x01}));
}

TEST_F(TerminalTest, ResetUsesTheScenarioAtr) {
    Start("slot 2 processor atr 3B 02 14 50\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x02, 0x01}).rsp, (Bytes{0x3B, 0x02, 0x14, 0x50, 0x90, 0x01}));
    EXPECT_EQ(Send({0x20, 0x11, 0x02, 0x02}).rsp, (Bytes{0x14, 0x50, 0x90, 0x01}));
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x01}).rsp, Join(kDefaultAtr, {0x90, 0x01}));
}

TEST_F(TerminalTest, ResetAMemoryCardAnswers9000) {
    Start("slot 1 memory\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x00}).rsp, kOk9000);
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x01}).rsp, Join(ctsim::DefaultMemoryAtr(), kOk9000));
}

TEST_F(TerminalTest, ResetAnEmptySlotAnswers64A1) {
    Start("slot 1 empty\nslot 2 memory arrive never\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x01}).rsp, (Bytes{0x64, 0xA1}));
    EXPECT_EQ(Send({0x20, 0x11, 0x02, 0x01}).rsp, (Bytes{0x64, 0xA1}));
}

TEST_F(TerminalTest, MalformedTerminalCommandsGetErrorWords) {
    Open();
    struct Case {
        Bytes command;
        Bytes sw;
    };
    const Case cases[] = {
        {{0x20, 0x11, 0x03, 0x00}, {0x6A, 0x00}},              // no third unit
        {{0x20, 0x11, 0x01, 0x03}, {0x6A, 0x00}},              // no such answer form
        {{0x20, 0x11, 0x01, 0x01, 0x00, 0x00}, {0x67, 0x00}},  // one byte too many
        {{0x20, 0x11, 0x01}, {0x67, 0x00}},                    // header cut short
        {{0x20}, {0x67, 0x00}},
        {{0x20, 0x13, 0x00, 0x80, 0x00}, {0x6D, 0x00}},        // instruction not offered
        {{0x20, 0x15, 0x01, 0x00}, {0x6D, 0x00}},
        {{0x21, 0x11, 0x00, 0x00}, {0x6E, 0x00}},              // wrong class
    };
    for (const Case& c : cases) {
        const Answer a = Send(c.command);
        ASSERT_EQ(a.result, ctsim::kOk) << ::testing::PrintToString(c.command);
        EXPECT_EQ(a.rsp, c.sw) << ::testing::PrintToString(c.command);
    }
}

// --- Response room ----------------------------------------------------------

TEST_F(TerminalTest, AnAnswerThatDoesNotFitIsErrMemoryAndChangesNothing) {
    Open();
    const uint16_t needed = static_cast<uint16_t>(kDefaultAtr.size() + 2);
    const Answer tooSmall = Send({0x20, 0x11, 0x01, 0x01}, 1, needed - 1);
    EXPECT_EQ(tooSmall.result, ctsim::kErrMemory);
    EXPECT_EQ(tooSmall.lenr, needed - 1);
    EXPECT_EQ(tooSmall.dad, 1);
    EXPECT_EQ(tooSmall.sad, 2);
    EXPECT_EQ(tooSmall.buffer[0], 0xEE);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}, 1, 1).result, ctsim::kErrMemory);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}, 1, 0).result, ctsim::kErrMemory);

    const Answer exact = Send({0x20, 0x11, 0x01, 0x01}, 1, needed);
    EXPECT_EQ(exact.result, ctsim::kOk);
    EXPECT_EQ(exact.lenr, needed);
    EXPECT_EQ(exact.buffer[needed], 0xEE) << "nothing written past the answer";
}

// --- REQUEST ICC ------------------------------------------------------------

TEST_F(TerminalTest, RequestWithACardAlreadyThereAnswers6201AtOnce) {
    Open();
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00, 0x01, 0x3C}).rsp, (Bytes{0x62, 0x01}));
    EXPECT_EQ(Send({0x20, 0x12, 0x02, 0x01, 0x01, 0x3C, 0x00}).rsp, (Bytes{0x62, 0x01}));
    EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(TerminalTest, RequestOnAnEmptySlotWaitsTheWholeTimeThenAnswers6200) {
    Start("slot 1 empty\n");
    Open();
    const uint64_t before = clock_.now;
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00, 0x01, 0x3C}).rsp, (Bytes{0x62, 0x00}));
    EXPECT_EQ(clock_.now - before, 60000u);
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00}).rsp, (Bytes{0x62, 0x00})) << "no wait time: no waiting";
    EXPECT_EQ(clock_.now - before, 60000u);
}

TEST_F(TerminalTest, ACardArrivingWithinTheWaitIsReset) {
    Start("slot 1 processor arrive 2000\nslot 2 memory arrive 500\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x01}).rsp, (Bytes{0x64, 0xA1})) << "not there before the request";
    const uint64_t before = clock_.now;
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x01, 0x01, 0x3C}).rsp, Join(kDefaultAtr, {0x90, 0x01}));
    EXPECT_EQ(clock_.now - before, 2000u) << "answered when the card came, not at the end of the wait";
    EXPECT_EQ(Send({0x20, 0x11, 0x01, 0x00}).rsp, (Bytes{0x90, 0x01})) << "and it stays";
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00, 0x01, 0x3C}).rsp, (Bytes{0x62, 0x01}));

    EXPECT_EQ(Send({0x20, 0x12, 0x02, 0x00, 0x01, 0x05}).rsp, kOk9000);
}

TEST_F(TerminalTest, ACardArrivingAfterTheWaitIsSeenByALaterRequest) {
    Start("slot 2 processor arrive 5000\n");
    Open();
    const uint64_t before = clock_.now;
    EXPECT_EQ(Send({0x20, 0x12, 0x02, 0x00, 0x01, 0x03}).rsp, (Bytes{0x62, 0x00}));
    EXPECT_EQ(clock_.now - before, 3000u);
    // Arrival counts from the first request, as a person inserting the card
    // after the first prompt would.
    EXPECT_EQ(Send({0x20, 0x12, 0x02, 0x00, 0x01, 0x03}).rsp, (Bytes{0x90, 0x01}));
    EXPECT_EQ(clock_.now - before, 5000u);
}

TEST_F(TerminalTest, ACardPresentAtOnceWithZeroArrival) {
    Start("slot 1 processor arrive 0\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00}).rsp, (Bytes{0x90, 0x01}));
}

TEST_F(TerminalTest, WaitLimitShortensTheWait) {
    Start("slot 1 empty\nslot 2 processor arrive 4000\nwait-limit 2500\n");
    Open();
    uint64_t before = clock_.now;
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00, 0x01, 0x3C}).rsp, (Bytes{0x62, 0x00}));
    EXPECT_EQ(clock_.now - before, 2500u);
    before = clock_.now;
    EXPECT_EQ(Send({0x20, 0x12, 0x02, 0x00, 0x01, 0x3C}).rsp, (Bytes{0x62, 0x00}));
    EXPECT_EQ(clock_.now - before, 2500u);
}

TEST_F(TerminalTest, RequestTakesTheWaitTimeAsATaggedObjectToo) {
    Start("slot 1 empty\n");
    Open();
    uint64_t before = clock_.now;
    // A display text object, then the wait time object: 7 s.
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00, 0x07, 0x50, 0x02, 0x48, 0x49, 0x80, 0x01, 0x07}).rsp,
              (Bytes{0x62, 0x00}));
    EXPECT_EQ(clock_.now - before, 7000u);
    before = clock_.now;
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x00, 0x04, 0x80, 0x02, 0x01, 0x00, 0x00}).rsp, (Bytes{0x62, 0x00}));
    EXPECT_EQ(clock_.now - before, 256000u);
}

TEST_F(TerminalTest, MalformedRequestsGetErrorWords) {
    Start("slot 1 empty\n");
    Open();
    struct Case {
        Bytes command;
        Bytes sw;
    };
    const Case cases[] = {
        {{0x20, 0x12, 0x00, 0x00, 0x01, 0x05}, {0x6A, 0x00}},             // the terminal holds no card
        {{0x20, 0x12, 0x03, 0x00, 0x01, 0x05}, {0x6A, 0x00}},
        {{0x20, 0x12, 0x01, 0x03, 0x01, 0x05}, {0x6A, 0x00}},             // no such answer form
        {{0x20, 0x12, 0x01, 0x00, 0x02, 0x05}, {0x67, 0x00}},             // Lc beyond the data
        {{0x20, 0x12, 0x01, 0x00, 0x01, 0x05, 0x00, 0x00}, {0x67, 0x00}},
        {{0x20, 0x12, 0x01, 0x00, 0x00, 0x00}, {0x67, 0x00}},
        {{0x20, 0x12, 0x01, 0x00, 0x03, 0x80, 0x05, 0x01}, {0x67, 0x00}}, // object runs past Lc
        {{0x20, 0x12, 0x01, 0x00, 0x02, 0x80, 0x00}, {0x67, 0x00}},       // empty wait time
    };
    for (const Case& c : cases) {
        const Answer a = Send(c.command);
        ASSERT_EQ(a.result, ctsim::kOk) << ::testing::PrintToString(c.command);
        EXPECT_EQ(a.rsp, c.sw) << ::testing::PrintToString(c.command);
    }
    EXPECT_TRUE(clock_.sleeps.empty()) << "a refused request does not wait";
}

TEST_F(TerminalTest, DisplayBitsInP2DoNotChangeTheAnswer) {
    Start("slot 1 processor arrive 10\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x12, 0x01, 0x11, 0x01, 0x01}).rsp, Join(kDefaultAtr, {0x90, 0x01}));
}

// --- Forced behaviour -------------------------------------------------------

TEST_F(TerminalTest, ForcedResultsReplaceTheCall) {
    Start("result CT_init:1 -8\nresult CT_data:2 -10\nresult CT_close:1 -128\n");
    EXPECT_EQ(terminal_->Init(1, 3), -8);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).result, ctsim::kErrInvalid) << "the failed init opened nothing";
    EXPECT_EQ(terminal_->Init(1, 3), ctsim::kOk);
    const Answer forced = Send({0x20, 0x11, 0x00, 0x00});
    EXPECT_EQ(forced.result, -10);
    EXPECT_EQ(forced.lenr, 258);
    EXPECT_EQ(forced.dad, 1);
    EXPECT_EQ(forced.sad, 2);
    EXPECT_EQ(forced.buffer[0], 0xEE);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).result, ctsim::kOk);
    EXPECT_EQ(terminal_->Close(1), -128);
    EXPECT_EQ(terminal_->Close(1), ctsim::kOk) << "the forced close left it open";
}

TEST_F(TerminalTest, ForcedResultComesBeforeAnyCheck) {
    Start("result CT_data -127\n");
    EXPECT_EQ(terminal_->Data(1, nullptr, nullptr, 0, nullptr, nullptr, nullptr), -127);
}

TEST_F(TerminalTest, ForcedStatusReplacesTheAnswer) {
    Start("status CT_data:2 6F 00\nstatus CT_data:3 90 00 data 01 02 03\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).rsp, kOk9000);
    const Answer a = Send({0x20, 0x11, 0x01, 0x01});
    EXPECT_EQ(a.rsp, (Bytes{0x6F, 0x00}));
    EXPECT_EQ(a.sad, 1);
    EXPECT_EQ(a.dad, 2);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).rsp, (Bytes{0x01, 0x02, 0x03, 0x90, 0x00}));
}

TEST_F(TerminalTest, AForcedStatusMustFitToo) {
    Start("status CT_data 90 00 data 01 02 03\n");
    Open();
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}, 1, 4).result, ctsim::kErrMemory);
}

TEST_F(TerminalTest, ForcedLengthIsReportedButOnlyTheAnswerIsWritten) {
    Start("length CT_data:1 1\nlength CT_data:2 200\n");
    Open();
    const Answer shortened = Send({0x20, 0x11, 0x00, 0x00});
    EXPECT_EQ(shortened.result, ctsim::kOk);
    EXPECT_EQ(shortened.lenr, 1);
    EXPECT_EQ(shortened.buffer[0], 0x90);
    EXPECT_EQ(shortened.buffer[1], 0x00);
    const Answer lengthened = Send({0x20, 0x11, 0x00, 0x00}, 1, 10);
    EXPECT_EQ(lengthened.lenr, 200);
    EXPECT_EQ(lengthened.buffer[2], 0xEE);
    EXPECT_EQ(Send({0x20, 0x11, 0x00, 0x00}).lenr, 2);
}

TEST_F(TerminalTest, DelaysHappenBeforeEachCall) {
    Start("delay CT_init 100\ndelay CT_data 20\ndelay CT_data:2 3000\ndelay CT_close:1 7\n");
    EXPECT_EQ(terminal_->Init(1, 3), ctsim::kOk);
    Send({0x20, 0x11, 0x00, 0x00});
    Send({0x20, 0x11, 0x00, 0x00});
    Send({0x20, 0x11, 0x00, 0x00});
    EXPECT_EQ(terminal_->Close(1), ctsim::kOk);
    EXPECT_EQ(clock_.sleeps, (std::vector<uint32_t>{100, 20, 3000, 20, 7}));
}

TEST_F(TerminalTest, DelayAddsToAForcedFailure) {
    Start("delay CT_init 400\nresult CT_init -10\n");
    EXPECT_EQ(terminal_->Init(1, 3), -10);
    EXPECT_EQ(clock_.sleeps, (std::vector<uint32_t>{400}));
}

// --- Historical bytes ---------------------------------------------------------

TEST(HistoricalBytes, FollowTheInterfaceBytes) {
    // T0 = 0xF2: TA1 TB1 TC1 TD1, two historical bytes; TD1 = 0x81: TD2;
    // TD2 = 0x31: TA3 TB3; then "AB" and the check byte.
    const Bytes atr = {0x3B, 0xF2, 0x11, 0x22, 0x33, 0x81, 0x31, 0x44, 0x55, 0xAA, 0xBB, 0x00};
    EXPECT_EQ(ctsim::HistoricalBytes(atr), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(ctsim::HistoricalBytes({0x3B, 0x02, 0x14, 0x50}), (Bytes{0x14, 0x50}));
    EXPECT_EQ(ctsim::HistoricalBytes({0x3B, 0x00}), Bytes{});
}

TEST(HistoricalBytes, ATruncatedAtrGivesNone) {
    EXPECT_EQ(ctsim::HistoricalBytes({0x3B}), Bytes{});
    EXPECT_EQ(ctsim::HistoricalBytes({0x3B, 0x82}), Bytes{});              // TD1 missing
    EXPECT_EQ(ctsim::HistoricalBytes({0x3B, 0x05, 0x01, 0x02}), Bytes{});  // 5 promised, 2 there
}
