#include "simulator/setup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/tests/fakes.h"

using ctsim_test::FakeClock;

namespace {

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        // ctest runs the tests of this file side by side: each keeps to
        // files of its own.
        dir_ = ::testing::TempDir() + "slotbench-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        tracePath_ = dir_ + "-setup_test.trace";
        std::remove(tracePath_.c_str());
    }
    void TearDown() override {
        std::remove(tracePath_.c_str());
        for (const std::string& f : written_) std::remove(f.c_str());
    }

    std::string WriteFile(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "-" + name;
        std::ofstream(path, std::ios::binary) << text;
        written_.push_back(path);
        return path;
    }

    std::vector<std::string> TraceLines() {
        std::ifstream in(tracePath_, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // The answer to RESET CT of slot 1, which tells which scenario is in use.
    std::vector<uint8_t> ResetSlot1(ctsim::Terminal& terminal) {
        uint8_t dad = 1, sad = 2;
        uint8_t cmd[] = {0x20, 0x11, 0x01, 0x00};
        uint8_t rsp[64];
        uint16_t lenr = sizeof rsp;
        EXPECT_EQ(terminal.Data(1, &dad, &sad, 4, cmd, &lenr, rsp), 0);
        return std::vector<uint8_t>(rsp, rsp + lenr);
    }

    FakeClock clock_;
    std::string dir_;
    std::string tracePath_;
    std::vector<std::string> written_;
};

const std::vector<uint8_t> kProcessorReady = {0x90, 0x01};
const std::vector<uint8_t> kEmpty = {0x64, 0xA1};

}  // namespace

TEST_F(SetupTest, WithoutAnyScenarioTheDefaultIsUsedAndNoted) {
    ctsim::Simulator sim = ctsim::CreateSimulator("", dir_ + "-absent.scenario", tracePath_, clock_);
    ASSERT_EQ(sim.terminal->Init(1, 3), 0);
    EXPECT_EQ(ResetSlot1(*sim.terminal), kProcessorReady);
    const auto lines = TraceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "# scenario: default");
    EXPECT_EQ(lines[1].rfind("CT_init ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("CT_data ", 0), 0u);
}

TEST_F(SetupTest, TheNamedScenarioWinsOverTheOneBesideTheLibrary) {
    const std::string named = WriteFile("setup_named.scenario", "slot 1 empty\n");
    const std::string beside = WriteFile("setup_beside.scenario", "slot 1 memory\n");
    ctsim::Simulator sim = ctsim::CreateSimulator(named, beside, tracePath_, clock_);
    sim.terminal->Init(1, 3);
    EXPECT_EQ(ResetSlot1(*sim.terminal), kEmpty);
    EXPECT_EQ(TraceLines().at(0), "# scenario: " + named);
}

TEST_F(SetupTest, TheScenarioBesideTheLibraryIsUsedWhenNoneIsNamed) {
    const std::string beside = WriteFile("setup_beside.scenario", "slot 1 memory\n");
    ctsim::Simulator sim = ctsim::CreateSimulator("", beside, tracePath_, clock_);
    sim.terminal->Init(1, 3);
    EXPECT_EQ(ResetSlot1(*sim.terminal), (std::vector<uint8_t>{0x90, 0x00}));
}

TEST_F(SetupTest, ABadScenarioFallsBackToTheDefaultWithEveryErrorNoted) {
    const std::string named = WriteFile("setup_bad.scenario", "slot 1 empty\nslot 2 sideways\nnonsense\n");
    ctsim::Simulator sim = ctsim::CreateSimulator(named, "", tracePath_, clock_);
    sim.terminal->Init(1, 3);
    EXPECT_EQ(ResetSlot1(*sim.terminal), kProcessorReady) << "slot 1 empty must not have been applied";
    const auto lines = TraceLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("# scenario error: " + named + ":2: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("# scenario error: " + named + ":3: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "# scenario: default (" + named + " not used)");
}

TEST_F(SetupTest, ANamedScenarioThatCannotBeReadFallsBackToo) {
    const std::string beside = WriteFile("setup_beside.scenario", "slot 1 empty\n");
    const std::string missing = dir_ + "-setup_missing.scenario";
    ctsim::Simulator sim = ctsim::CreateSimulator(missing, beside, tracePath_, clock_);
    sim.terminal->Init(1, 3);
    EXPECT_EQ(ResetSlot1(*sim.terminal), kProcessorReady) << "the file beside the library is not a fallback";
    EXPECT_EQ(TraceLines().at(0), "# scenario error: " + missing + ": cannot be read");
}

TEST_F(SetupTest, NoTracePathMeansNoTrace) {
    ctsim::Simulator sim = ctsim::CreateSimulator("", "", "", clock_);
    EXPECT_EQ(sim.trace, nullptr);
    EXPECT_EQ(sim.terminal->Init(1, 3), 0);
    EXPECT_TRUE(TraceLines().empty());
}
