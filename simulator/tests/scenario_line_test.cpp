// The scenario statements for the serial front's line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/scenario.h"
#include "simulator/tests/scenario_parsing.h"

using ctsim::Call;
using ctsim::LineFaultKind;
using ctsim::ParseScenario;
using ctsim::Scenario;
using ctsim::ScenarioError;

namespace {

using Bytes = std::vector<uint8_t>;

// One statement at fault gives exactly one error.
void ExpectBad(const std::string& text) { EXPECT_EQ(ParseBad(text).size(), 1u) << text; }

}  // namespace

TEST(ScenarioLine, DefaultsAreTheLargestBlockAndOneSecondWtxAndNoFault) {
    const Scenario s = ParseGood("slot 1 empty\n");
    EXPECT_EQ(s.lineBlockSize, 254);
    EXPECT_EQ(s.lineWtxMs, 1000u);
    EXPECT_EQ(s.LineFaultFor(Call::kData, 1), nullptr);
}

TEST(ScenarioLine, FaultsPerCallWithExactBeatingEveryAndLaterWinning) {
    const Scenario s = ParseGood(
        "LINE LRC ct_data:2\n"
        "line silent CT_data\n"
        "line garbage CT_data:3 01 02 0304\n"
        "line garbage CT_data:4\n"
        "line lrc CT_data:5\n"
        "line silent CT_data:5   # the later one wins\n");
    ASSERT_NE(s.LineFaultFor(Call::kData, 1), nullptr);
    EXPECT_EQ(s.LineFaultFor(Call::kData, 1)->kind, LineFaultKind::kSilent);
    EXPECT_EQ(s.LineFaultFor(Call::kData, 2)->kind, LineFaultKind::kBadCheck);
    EXPECT_EQ(s.LineFaultFor(Call::kData, 3)->kind, LineFaultKind::kGarbage);
    EXPECT_EQ(s.LineFaultFor(Call::kData, 3)->garbage, (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(s.LineFaultFor(Call::kData, 4)->garbage, ctsim::DefaultLineGarbage());
    EXPECT_EQ(s.LineFaultFor(Call::kData, 5)->kind, LineFaultKind::kSilent);
    EXPECT_EQ(s.LineFaultFor(Call::kInit, 1), nullptr);
}

TEST(ScenarioLine, BlockSizeAndWtxBounds) {
    EXPECT_EQ(ParseGood("line block-size 1").lineBlockSize, 1);
    EXPECT_EQ(ParseGood("line block-size 254").lineBlockSize, 254);
    EXPECT_EQ(ParseGood("line block-size 8\nline block-size 16").lineBlockSize, 16);
    EXPECT_EQ(ParseGood("line wtx 1").lineWtxMs, 1u);
    EXPECT_EQ(ParseGood("line wtx 250").lineWtxMs, 250u);
    EXPECT_EQ(ParseGood("").lineInWait, ctsim::InWait::kDrop);
    EXPECT_EQ(ParseGood("line in-wait refuse").lineInWait, ctsim::InWait::kRefuse);
    EXPECT_EQ(ParseGood("LINE IN-WAIT End-Wait\nline in-wait drop").lineInWait, ctsim::InWait::kDrop);
    EXPECT_EQ(ParseGood("line in-wait end-wait").lineInWait, ctsim::InWait::kEndWait);
    for (const char* bad : {"line block-size 0", "line block-size 255", "line block-size", "line block-size 8 9",
                            "line block-size x", "line wtx 0", "line wtx", "line wtx -5", "line in-wait",
                            "line in-wait ignore", "line in-wait drop refuse"}) {
        ExpectBad(bad);
    }
}

TEST(ScenarioLine, BadStatementsAreErrors) {
    for (const char* bad : {"line", "line noise CT_data:1", "line lrc", "line lrc CT_init:1", "line silent CT_close",
                            "line lrc CT_data:0", "line lrc CT_data:1 extra", "line garbage CT_data:1 zz",
                            "line garbage CT_data:1 ABC"}) {
        ExpectBad(bad);
    }
}

TEST(ScenarioLine, DefaultGarbageIsFramedWithAWrongCheckByte) {
    const Bytes& g = ctsim::DefaultLineGarbage();
    ASSERT_GE(g.size(), 4u);
    EXPECT_EQ(g.size(), 3u + g[2] + 1u);
    uint8_t lrc = 0;
    for (size_t i = 0; i + 1 < g.size(); ++i) lrc = static_cast<uint8_t>(lrc ^ g[i]);
    EXPECT_NE(lrc, g.back());
}

TEST(ScenarioLine, AnErrorLeavesTheRestOfTheScenarioUnused) {
    Scenario s;
    s.lineBlockSize = 7;
    std::vector<ScenarioError> errors;
    EXPECT_FALSE(ParseScenario("line block-size 8\nline lrc CT_close\n", s, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 2u);
    EXPECT_EQ(s.lineBlockSize, 7);
}
