#include "simulator/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/terminal.h"
#include "simulator/tests/fakes.h"

using ctsim_test::FakeClock;
using ctsim_test::RecordingTrace;

namespace {

// Splits a trace line the way a reader of the documented format would.
struct Parsed {
    std::string call;
    std::map<std::string, std::string> fields;
    std::vector<std::string> order;
};

Parsed ParseLine(const std::string& line) {
    Parsed p;
    std::istringstream in(line);
    in >> p.call;
    for (std::string word; in >> word;) {
        const size_t eq = word.find('=');
        EXPECT_NE(eq, std::string::npos) << word;
        p.order.push_back(word.substr(0, eq));
        p.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return p;
}

ctsim::Scenario Parse(const std::string& text) {
    ctsim::Scenario s;
    std::vector<ctsim::ScenarioError> errors;
    EXPECT_TRUE(ctsim::ParseScenario(text, s, errors));
    return s;
}

}  // namespace

TEST(TraceFormat, HexIsUpperCaseWithoutSpaces) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xB0, 0xFF};
    EXPECT_EQ(ctsim::HexBytes(bytes, 4), "000AB0FF");
    EXPECT_EQ(ctsim::HexBytes(bytes, 0), "");
}

TEST(TraceFormat, EachCallKindHasItsFieldsInOrder) {
    FakeClock clock;
    RecordingTrace trace;
    ctsim::Terminal terminal(ctsim::Scenario(), clock, &trace);
    ASSERT_EQ(terminal.Init(1, 3), 0);
    uint8_t dad = 1, sad = 2;
    uint8_t cmd[] = {0x20, 0x11, 0x01, 0x01};
    uint8_t rsp[64];
    uint16_t lenr = sizeof rsp;
    ASSERT_EQ(terminal.Data(1, &dad, &sad, 4, cmd, &lenr, rsp), 0);
    ASSERT_EQ(terminal.Close(1), 0);
    ASSERT_EQ(trace.lines.size(), 3u);

    const Parsed init = ParseLine(trace.lines[0]);
    EXPECT_EQ(init.call, "CT_init");
    EXPECT_EQ(init.order, (std::vector<std::string>{"n", "t", "ctn", "pn", "result"}));
    EXPECT_EQ(init.fields.at("pn"), "3");
    EXPECT_EQ(init.fields.at("result"), "0");

    const Parsed data = ParseLine(trace.lines[1]);
    EXPECT_EQ(data.call, "CT_data");
    EXPECT_EQ(data.order,
              (std::vector<std::string>{"n", "t", "ctn", "dad", "sad", "cmd", "lenr", "rsp", "result"}));
    EXPECT_EQ(data.fields.at("dad"), "01>02");
    EXPECT_EQ(data.fields.at("sad"), "02>01");
    EXPECT_EQ(data.fields.at("cmd"), "20110101");
    EXPECT_EQ(data.fields.at("lenr"), "64>" + std::to_string(lenr));
    EXPECT_EQ(data.fields.at("rsp"), ctsim::HexBytes(rsp, lenr));
    EXPECT_EQ(data.fields.at("rsp").substr(data.fields.at("rsp").size() - 4), "9001");

    const Parsed close = ParseLine(trace.lines[2]);
    EXPECT_EQ(close.call, "CT_close");
    EXPECT_EQ(close.order, (std::vector<std::string>{"n", "t", "ctn", "result"}));
}

TEST(TraceFormat, CallNumbersAndTimesFollowTheCalls) {
    FakeClock clock;
    RecordingTrace trace;
    ctsim::Terminal terminal(Parse("slot 1 processor arrive 1500\ndelay CT_init:2 250\n"), clock, &trace);
    terminal.Init(1, 3);
    terminal.Init(1, 3);  // already open: still numbered and traced
    uint8_t dad = 1, sad = 2;
    uint8_t cmd[] = {0x20, 0x12, 0x01, 0x00, 0x01, 0x3C};
    uint8_t rsp[8];
    uint16_t lenr = sizeof rsp;
    terminal.Data(1, &dad, &sad, sizeof cmd, cmd, &lenr, rsp);
    terminal.Close(1);
    ASSERT_EQ(trace.lines.size(), 4u);
    const Parsed second = ParseLine(trace.lines[1]);
    EXPECT_EQ(second.fields.at("n"), "2");
    EXPECT_EQ(second.fields.at("t"), "0") << "t is taken before the delay";
    EXPECT_EQ(second.fields.at("result"), "-1");
    const Parsed data = ParseLine(trace.lines[2]);
    EXPECT_EQ(data.fields.at("n"), "1");
    EXPECT_EQ(data.fields.at("t"), "250");
    EXPECT_EQ(data.fields.at("rsp"), "9001");
    const Parsed close = ParseLine(trace.lines[3]);
    EXPECT_EQ(close.fields.at("t"), "1750");
}

TEST(TraceFormat, FailedCallsShowNullPointersAndNoResponse) {
    FakeClock clock;
    RecordingTrace trace;
    ctsim::Terminal terminal(ctsim::Scenario(), clock, &trace);
    terminal.Init(4, 1);
    uint8_t sad = 2;
    uint8_t cmd[] = {0x20, 0x11, 0x00, 0x00};
    uint16_t lenr = 1;
    uint8_t rsp[1];
    terminal.Data(4, nullptr, &sad, 4, cmd, &lenr, rsp);
    uint8_t dad = 1;
    terminal.Data(4, &dad, &sad, 4, cmd, &lenr, rsp);  // no room for 90 00
    terminal.Data(4, &dad, &sad, 4, nullptr, nullptr, nullptr);
    ASSERT_EQ(trace.lines.size(), 4u);
    const Parsed nullDad = ParseLine(trace.lines[1]);
    EXPECT_EQ(nullDad.fields.at("dad"), "-");
    EXPECT_EQ(nullDad.fields.at("sad"), "02>02");
    EXPECT_EQ(nullDad.fields.at("rsp"), "");
    EXPECT_EQ(nullDad.fields.at("result"), "-1");
    const Parsed noRoom = ParseLine(trace.lines[2]);
    EXPECT_EQ(noRoom.fields.at("lenr"), "1>1");
    EXPECT_EQ(noRoom.fields.at("dad"), "01>01");
    EXPECT_EQ(noRoom.fields.at("result"), "-11");
    const Parsed nulls = ParseLine(trace.lines[3]);
    EXPECT_EQ(nulls.fields.at("cmd"), "-");
    EXPECT_EQ(nulls.fields.at("lenr"), "-");
}

TEST(TraceFormat, ForcedLengthShowsTheBytesWrittenAndTheLengthReported) {
    FakeClock clock;
    RecordingTrace trace;
    ctsim::Terminal terminal(Parse("length CT_data 1\n"), clock, &trace);
    terminal.Init(1, 3);
    uint8_t dad = 1, sad = 2;
    uint8_t cmd[] = {0x20, 0x11, 0x00, 0x00};
    uint8_t rsp[16];
    uint16_t lenr = sizeof rsp;
    terminal.Data(1, &dad, &sad, 4, cmd, &lenr, rsp);
    const Parsed data = ParseLine(trace.lines.at(1));
    EXPECT_EQ(data.fields.at("lenr"), "16>1");
    EXPECT_EQ(data.fields.at("rsp"), "9000");
}

TEST(TraceFormat, NotesStartWithAHash) {
    FakeClock clock;
    RecordingTrace trace;
    ctsim::Terminal terminal(ctsim::Scenario(), clock, &trace);
    terminal.Note("scenario: default");
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0], "# scenario: default");
}

TEST(TraceFile, LinesAreAppendedWithLineFeeds) {
    const std::string path = ::testing::TempDir() + "/trace_test_append.trace";
    std::remove(path.c_str());
    {
        ctsim::FileTrace first(path);
        first.Write("one");
    }
    ctsim::FileTrace second(path);
    second.Write("two");
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "one\ntwo\n");
    std::remove(path.c_str());
}

TEST(TraceFile, AnUnwritablePathIsIgnored) {
    ctsim::FileTrace trace(::testing::TempDir() + "/no-such-dir/x.trace");
    trace.Write("lost");  // must neither throw nor crash
    SUCCEED();
}
