#include "simulator/scenario.h"
#include "simulator/tests/scenario_parsing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using ctsim::Call;
using ctsim::CardKind;
using ctsim::ParseScenario;
using ctsim::Scenario;
using ctsim::ScenarioError;

namespace {

using Bytes = std::vector<uint8_t>;

// Rule values, or kNoRule, so that a missing rule fails an expectation
// instead of crashing the run.
constexpr long kNoRule = 100000;

long Code(const Scenario& s, Call call, uint32_t n) {
    const auto* r = s.ResultFor(call, n);
    return r ? r->code : kNoRule;
}
long Ms(const Scenario& s, Call call, uint32_t n) {
    const auto* r = s.DelayFor(call, n);
    return r ? static_cast<long>(r->ms) : kNoRule;
}
long Length(const Scenario& s, Call call, uint32_t n) {
    const auto* r = s.LengthFor(call, n);
    return r ? r->length : kNoRule;
}
Bytes Status(const Scenario& s, Call call, uint32_t n) {
    const auto* r = s.StatusFor(call, n);
    return r ? r->response : Bytes{};
}

}  // namespace

TEST(ScenarioDefault, BothSlotsHoldProcessorCardsAndNothingIsForced) {
    const Scenario s;
    for (const auto& slot : s.slots) {
        EXPECT_EQ(slot.card, CardKind::kProcessor);
        EXPECT_EQ(slot.atr, ctsim::DefaultProcessorAtr());
        EXPECT_FALSE(slot.arriveAfterMs.has_value());
    }
    EXPECT_EQ(Code(s, Call::kInit, 1), kNoRule);
    EXPECT_EQ(Status(s, Call::kData, 1), Bytes{});
    EXPECT_FALSE(s.waitLimitMs.has_value());
}

TEST(ScenarioDefault, AnEmptyOrCommentOnlyTextIsTheDefault) {
    const Scenario s = ParseGood("# nothing here\n\n   \t\n# more\n");
    EXPECT_EQ(s.slots[0].card, CardKind::kProcessor);
    EXPECT_EQ(s.slots[1].card, CardKind::kProcessor);
    EXPECT_TRUE(s.results.empty());
    EXPECT_TRUE(s.delays.empty());
}

TEST(ScenarioDefault, DefaultAtrsAreWellFormed) {
    // TS of a processor card is 3B or 3F; the memory card header is 4 bytes.
    const Bytes& p = ctsim::DefaultProcessorAtr();
    ASSERT_GE(p.size(), 2u);
    EXPECT_TRUE(p[0] == 0x3B || p[0] == 0x3F);
    uint8_t tck = 0;
    for (size_t i = 1; i < p.size(); ++i) tck ^= p[i];
    EXPECT_EQ(tck, 0) << "the check byte must make T0..TCK xor to zero";
    EXPECT_EQ(ctsim::DefaultMemoryAtr().size(), 4u);
}

TEST(ScenarioSlots, CardKindsAtrsAndArrival) {
    const Scenario s = ParseGood(
        "slot 1 memory\n"
        "slot 2 processor atr 3B 02 14 50 arrive 2000   # inserted late\n");
    EXPECT_EQ(s.slots[0].card, CardKind::kMemory);
    EXPECT_EQ(s.slots[0].atr, ctsim::DefaultMemoryAtr());
    EXPECT_FALSE(s.slots[0].arriveAfterMs.has_value());
    EXPECT_EQ(s.slots[1].card, CardKind::kProcessor);
    EXPECT_EQ(s.slots[1].atr, (Bytes{0x3B, 0x02, 0x14, 0x50}));
    ASSERT_TRUE(s.slots[1].arriveAfterMs.has_value());
    EXPECT_EQ(*s.slots[1].arriveAfterMs, 2000u);
}

TEST(ScenarioSlots, AtrMayBeWrittenJoinedAndArriveMayComeFirst) {
    const Scenario s = ParseGood("slot 1 processor arrive 0 atr 3b0214 50\n");
    EXPECT_EQ(s.slots[0].atr, (Bytes{0x3B, 0x02, 0x14, 0x50}));
    EXPECT_EQ(s.slots[0].arriveAfterMs.value_or(1), 0u);
}

TEST(ScenarioSlots, EmptyAndNeverArrivingMeanNoCard) {
    const Scenario s = ParseGood("slot 1 empty\nslot 2 processor arrive never\n");
    EXPECT_EQ(s.slots[0].card, CardKind::kNone);
    EXPECT_EQ(s.slots[1].card, CardKind::kNone);
}

TEST(ScenarioSlots, KeywordsIgnoreCaseAndWindowsLineEnds) {
    const Scenario s = ParseGood("SLOT 2 Memory ARRIVE 10\r\nSlot 1 EMPTY\r\n");
    EXPECT_EQ(s.slots[1].card, CardKind::kMemory);
    EXPECT_EQ(s.slots[1].arriveAfterMs.value_or(0), 10u);
    EXPECT_EQ(s.slots[0].card, CardKind::kNone);
}

TEST(ScenarioSlots, MalformedSlotLinesAreErrors) {
    const char* bad[] = {
        "slot 3 processor",           "slot 0 processor",
        "slot 1",                     "slot x processor",
        "slot 1 smart",               "slot 1 empty arrive 10",
        "slot 1 processor atr",       "slot 1 processor atr 3B0",
        "slot 1 processor atr 3B",    "slot 1 processor arrive",
        "slot 1 processor arrive -5", "slot 1 processor arrive soon",
        "slot 1 processor extra",     "slot 1 processor arrive 1 arrive 2",
        "slot 1 processor atr 3B 00 atr 3B 00",
        "slot 1 processor arrive 99999999999",
    };
    for (const char* line : bad) ParseBad(line);
    std::string tooLong = "slot 1 processor atr";
    for (int i = 0; i < 34; ++i) tooLong += " 00";
    ParseBad(tooLong);
}

TEST(ScenarioSlots, ASlotSetUpTwiceIsAnError) {
    const auto errors = ParseBad("slot 1 empty\nslot 1 memory\n");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 2u);
}

TEST(ScenarioRules, ResultsStatusesLengthsDelaysAndWaitLimit) {
    const Scenario s = ParseGood(
        "result CT_init -8\n"
        "result CT_data:3 -10\n"
        "result ct_close:1 -128\n"
        "status CT_data:2 6F 00\n"
        "status CT_data:4 90 00 data 01 0203\n"
        "length CT_data:5 1\n"
        "delay CT_data 50\n"
        "delay CT_init:2 1500\n"
        "wait-limit 2500\n");
    EXPECT_EQ(Code(s, Call::kInit, 7), -8);
    EXPECT_EQ(Code(s, Call::kData, 3), -10);
    EXPECT_EQ(Code(s, Call::kData, 2), kNoRule);
    EXPECT_EQ(Code(s, Call::kClose, 1), -128);
    EXPECT_EQ(Code(s, Call::kClose, 2), kNoRule);
    EXPECT_EQ(Status(s, Call::kData, 2), (Bytes{0x6F, 0x00}));
    EXPECT_EQ(Status(s, Call::kData, 4), (Bytes{0x01, 0x02, 0x03, 0x90, 0x00}));
    EXPECT_EQ(Status(s, Call::kData, 3), Bytes{});
    EXPECT_EQ(Length(s, Call::kData, 5), 1);
    EXPECT_EQ(Length(s, Call::kData, 4), kNoRule);
    EXPECT_EQ(Ms(s, Call::kData, 99), 50);
    EXPECT_EQ(Ms(s, Call::kInit, 2), 1500);
    EXPECT_EQ(Ms(s, Call::kInit, 1), kNoRule);
    EXPECT_EQ(Ms(s, Call::kClose, 1), kNoRule);
    ASSERT_TRUE(s.waitLimitMs.has_value());
    EXPECT_EQ(*s.waitLimitMs, 2500u);
}

TEST(ScenarioRules, ARuleForOneCallBeatsAnEveryCallRuleAndLaterLinesWin) {
    const Scenario s = ParseGood(
        "delay CT_data:2 7\n"
        "delay CT_data 5\n"
        "delay CT_data 6\n"
        "delay CT_data:3 8\n"
        "delay CT_data:3 9\n");
    EXPECT_EQ(Ms(s, Call::kData, 1), 6);
    EXPECT_EQ(Ms(s, Call::kData, 2), 7);
    EXPECT_EQ(Ms(s, Call::kData, 3), 9);
}

TEST(ScenarioRules, MalformedRulesAreErrors) {
    const char* bad[] = {
        "result CT_init 0",          "result CT_init -129",        "result CT_init 128",
        "result CT_init",            "result CT_init x",           "result CT_open -1",
        "result CT_data:0 -1",       "result CT_data:x -1",        "result CT_data: -1",
        "result CT_data -1 -1",      "status CT_init 6F 00",       "status CT_data 6F",
        "status CT_data 6F 00 00",   "status CT_data 90 00 data",  "status CT_data 90 00 with 01",
        "status CT_data 90 00 data 01 zz", "length CT_close 4",    "length CT_data 65536",
        "length CT_data -1",         "delay CT_data",              "delay CT_data 1.5",
        "wait-limit",                "wait-limit 1 2",             "wait-limit soon",
        "frobnicate 1",
    };
    for (const char* line : bad) ParseBad(line);
}

// One fault rule, by call as every other rule: a card request is the
// CT_data call it is counted as.
TEST(ScenarioRules, FaultRulesNameACallAndAKind) {
    const Scenario s = ParseGood(
        "fault CT_init access-violation\n"
        "fault CT_data:3 illegal-instruction\n"
        "fault ct_close:2 Divide-By-Zero\n");
    struct Row {
        Call call;
        uint32_t n;
        ctsim::FaultKind kind;
    };
    const Row rows[] = {
        {Call::kInit, 1, ctsim::FaultKind::kAccessViolation},
        {Call::kInit, 9, ctsim::FaultKind::kAccessViolation},
        {Call::kData, 3, ctsim::FaultKind::kIllegalInstruction},
        {Call::kData, 4, ctsim::FaultKind::kNone},
        {Call::kClose, 1, ctsim::FaultKind::kNone},
        {Call::kClose, 2, ctsim::FaultKind::kDivideByZero},
    };
    for (const Row& row : rows) {
        const ctsim::ForcedFault* f = s.FaultFor(row.call, row.n);
        EXPECT_EQ(f ? f->kind : ctsim::FaultKind::kNone, row.kind) << ctsim::CallName(row.call) << ":" << row.n;
    }
    const char* bad[] = {
        "fault request access-violation", "fault CT_data:3",  "fault CT_data:3 stack-overflow",
        "fault CT_data:0 access-violation", "fault CT_data access-violation ud2",
    };
    for (const char* line : bad) ParseBad(line);
}

TEST(ScenarioErrors, EveryBadLineIsReportedWithItsNumberAndNothingIsApplied) {
    Scenario s;
    s.slots[0].card = CardKind::kMemory;  // a marker that must survive
    std::vector<ScenarioError> errors;
    EXPECT_FALSE(ParseScenario("slot 2 empty\nbogus\n# fine\nresult CT_init 0\nslot 1 empty\n", s, errors));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].line, 2u);
    EXPECT_NE(errors[0].message.find("bogus"), std::string::npos);
    EXPECT_EQ(errors[1].line, 4u);
    EXPECT_EQ(s.slots[0].card, CardKind::kMemory);
    EXPECT_EQ(s.slots[1].card, CardKind::kProcessor);
}

TEST(ScenarioErrors, AFileThatCannotBeReadIsAnErrorWithoutALine) {
    Scenario s;
    std::vector<ScenarioError> errors;
    EXPECT_FALSE(ctsim::LoadScenarioFile(::testing::TempDir() + "/no-such-dir/none.scenario", s, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 0u);
}

TEST(ScenarioErrors, AFileIsParsedLikeText) {
    const std::string path = ::testing::TempDir() + "/scenario_test_file.scenario";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("slot 2 empty\r\nresult CT_close -8\r\n", f);
    std::fclose(f);
    Scenario s;
    std::vector<ScenarioError> errors;
    EXPECT_TRUE(ctsim::LoadScenarioFile(path, s, errors));
    EXPECT_EQ(s.slots[1].card, CardKind::kNone);
    EXPECT_EQ(Code(s, Call::kClose, 1), -8);
    std::remove(path.c_str());
}
