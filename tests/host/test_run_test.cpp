// Start Test from its header to its verdict line, over both links, and the
// state of the window while a run is in progress.
#include "tests/host/test_fixture.h"

#include <algorithm>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const char kSeparator[] = "-------------------------------------------";
const uint64_t kStart = 1000000;

class TestRunTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        Open();
    }
    void ChooseSerial(const std::string& port) {
        fake::Click(*dlg, 1001);
        ControlWindow(1004).text = port;
    }
    static void PlugIn(uint64_t afterMs) {
        fake::State().serial.data = {'C', 'O', 'M', '5', 0};
        fake::State().serial.presentFromMs = kStart + afterMs;
    }
    void StartTest() { fake::Click(*dlg, 1005); }
};

TEST_F(TestRunTest, SerialRunLogsHeaderEnvironmentExerciseAndVerdict) {
    ChooseSerial("COM3");
    StartTest();
    EXPECT_THAT(ListLines(),
                ElementsAre(kSeparator, "QSX 7100-K Connection test", "23/06/2009 12:43:33", kSeparator,
                            "Operating System: Windows XP", "CT-API installed", "CT-API version:4.2.0.1",
                            "Terminal OK", "Communication with card Patient's slot OK",
                            "Communication with Doctor's card slot OK",
                            "*** QSX 7100-K SERIAL Test Success ***"));
    EXPECT_EQ(fake::CallTrace().front(), "init 1 3");
    EXPECT_EQ(Lines(ReadFile("tmp")).size(), 12u);  // the verdict's own line feed adds one
}

TEST_F(TestRunTest, DateAndTimeArePaddedDayFirst) {
    fake::State().localTime = {2010, 2, 1, 3, 4, 5};
    ChooseSerial("COM1");
    StartTest();
    EXPECT_EQ(ListLines()[2], "01/02/2010 03:04:05");
}

TEST_F(TestRunTest, TypedPortNameIsUsed) {
    ChooseSerial("COM12");
    StartTest();
    EXPECT_EQ(fake::CallTrace().front(), "init 1 11");
    EXPECT_EQ(ListLines().back(), "*** QSX 7100-K SERIAL Test Success ***");

    fake::ResetTerminal();
    ControlWindow(1004).text = "COM9";
    StartTest();
    EXPECT_EQ(fake::CallTrace().front(), "init 1 9");
}

TEST_F(TestRunTest, SerialFailureGivesTheSerialFailLine) {
    fake::CtTerminal().initResult = -1;
    ChooseSerial("COM2");
    StartTest();
    EXPECT_EQ(ListLines()[ListLines().size() - 2], "CT_INIT fail");
    EXPECT_EQ(ListLines().back(), "*** QSX 7100-K SERIAL Test Fail ***");
}

TEST_F(TestRunTest, NeitherBoxCheckedTakesTheUsbBranch) {
    fake::Click(*dlg, 1000);  // unchecks USB
    ASSERT_EQ(ControlWindow(1000).check, 0);
    ASSERT_EQ(ControlWindow(1001).check, 0);
    PlugIn(0);
    StartTest();
    EXPECT_EQ(ListLines()[7], "QSX 7100-K Port COM number: COM5");
    EXPECT_EQ(ListLines().back(), "*** QSX 7100-K USB Test Success ***");
}

TEST_F(TestRunTest, UsbTimeoutGivesTheUsbFailLine) {
    StartTest();
    const std::vector<std::string> lines = ListLines();
    EXPECT_THAT(std::vector<std::string>(lines.end() - 3, lines.end()),
                ElementsAre("Plug your USB QSX 7100-K device (time out 30 sec)...", "Time out",
                            "*** QSX 7100-K USB Test Fail ***"));
}

TEST_F(TestRunTest, MissingLibraryFailsTheVerdictButTheExerciseRuns) {
    fake::State().existingFiles.clear();
    ChooseSerial("COM3");
    StartTest();
    EXPECT_EQ(ListLines()[5], "ERROR: CT-API Not found !");
    EXPECT_EQ(ListLines()[6], "Terminal OK");
    EXPECT_EQ(ListLines().back(), "*** QSX 7100-K SERIAL Test Fail ***");
}

TEST_F(TestRunTest, EmptyVersionResourceFailsTheVerdict) {
    fake::State().versionResourceSize = 0;
    ChooseSerial("COM3");
    StartTest();
    EXPECT_EQ(ListLines()[6], "Unable to get CT-API version");
    EXPECT_EQ(ListLines().back(), "*** QSX 7100-K SERIAL Test Fail ***");
}

TEST_F(TestRunTest, VerdictStartsPassedAgainOnEveryRun) {
    fake::CtTerminal().initResult = -1;
    ChooseSerial("COM3");
    StartTest();
    EXPECT_FALSE(dlg->m_passed);
    fake::CtTerminal().initResult = 0;
    StartTest();
    EXPECT_TRUE(dlg->m_passed);
    EXPECT_EQ(ListLines().back(), "*** QSX 7100-K SERIAL Test Success ***");
}

TEST_F(TestRunTest, TwoRunsAppendTwoBlocksToListAndFile) {
    ChooseSerial("COM3");
    StartTest();
    const std::vector<std::string> first = ListLines();
    StartTest();
    const std::vector<std::string> both = ListLines();
    ASSERT_EQ(both.size(), 2 * first.size());
    EXPECT_THAT(std::vector<std::string>(both.begin() + static_cast<long>(first.size()), both.end()),
                ElementsAreArray(first));
    const std::vector<std::string> fileLines = Lines(ReadFile("tmp"));
    EXPECT_EQ(fileLines.size(), 2 * (first.size() + 1));
    EXPECT_EQ(fileLines[first.size() + 1], kSeparator);
}

TEST_F(TestRunTest, RunControlsAreDisabledDuringTheRunAndRestoredExactly) {
    for (bool serial : {true, false}) {
        fake::ResetTerminal();
        if (serial) ChooseSerial("COM3");
        else fake::Click(*dlg, 1001);  // unchecks SERIAL: both unchecked, combo stays enabled
        PlugIn(0);
        const bool comboBefore = ControlWindow(1004).enabled;
        bool seen = false;
        fake::CtTerminal().during = [&](const fake::CtCall&) {
            seen = true;
            for (int id : {1005, 1000, 1001, 1004}) EXPECT_FALSE(ControlWindow(id).enabled) << id;
            EXPECT_TRUE(ControlWindow(1003).enabled);
            EXPECT_TRUE(ControlWindow(2).enabled);
        };
        StartTest();
        EXPECT_TRUE(seen);
        EXPECT_TRUE(ControlWindow(1005).enabled);
        EXPECT_TRUE(ControlWindow(1000).enabled);
        EXPECT_TRUE(ControlWindow(1001).enabled);
        EXPECT_EQ(ControlWindow(1004).enabled, comboBefore);
    }
    // USB was the last box checked: the combo box stays disabled after a run.
    fake::Click(*dlg, 1000);
    PlugIn(0);
    fake::CtTerminal().during = nullptr;
    StartTest();
    EXPECT_FALSE(ControlWindow(1004).enabled);
}

TEST_F(TestRunTest, ClicksQueuedWhileBlockedNeverStartAnotherRun) {
    ChooseSerial("COM3");
    fake::CtTerminal().during = [&](const fake::CtCall& call) {
        if (call.kind == fake::CtCall::Init)
            fake::State().messages.push_back({true, [&] { return fake::Click(*dlg, 1005), true; }});
    };
    StartTest();
    dlg->PumpMessages();  // the dialog's own loop, once the handler returned
    const std::vector<std::string> lines = ListLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "QSX 7100-K Connection test"), 1);
}

TEST_F(TestRunTest, StartTestDuringTheUsbWaitDoesNotNestASecondRun) {
    PlugIn(5000);
    fake::State().messages.push_back({true, [&] { return fake::Click(*dlg, 1005), true; }});
    StartTest();
    const std::vector<std::string> lines = ListLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "QSX 7100-K Connection test"), 1);
    EXPECT_EQ(lines.back(), "*** QSX 7100-K USB Test Success ***");
}

TEST_F(TestRunTest, ClearDuringTheUsbWaitWorks) {
    PlugIn(5000);
    fake::State().messages.push_back({true, [&] { return fake::Click(*dlg, 1003), true; }});
    StartTest();
    EXPECT_EQ(ListLines().front(), "QSX 7100-K Port COM number: COM5");
    EXPECT_EQ(Lines(ReadFile("tmp"))[0], kSeparator);
}

TEST_F(TestRunTest, ExitDuringTheUsbWaitStopsLogsTheFailureAndExitsOnce) {
    fake::State().onTime = [&](uint64_t now) {
        if (now >= kStart + 5000 && fake::State().messages.empty() && !fake::WindowOf(*dlg).ended)
            fake::State().messages.push_back({true, [&] { return fake::Click(*dlg, 2), true; }});
    };
    StartTest();
    fake::State().onTime = nullptr;
    EXPECT_TRUE(fake::WindowOf(*dlg).ended);
    EXPECT_LT(fake::State().monotonicMs - kStart, 6000u);
    EXPECT_THAT(fake::CtTerminal().calls, IsEmpty());
    EXPECT_FALSE(dlg->m_passed);
    const std::vector<std::string> logged = Lines(ReadFile("QSX7100-K.log"));
    ASSERT_GE(logged.size(), 3u);
    EXPECT_EQ(logged[logged.size() - 3], "Plug your USB QSX 7100-K device (time out 30 sec)...");
    EXPECT_EQ(logged[logged.size() - 2], "*** QSX 7100-K USB Test Fail ***");
    EXPECT_EQ(logged.back(), "");
    EXPECT_FALSE(FileExists("tmp"));
}

}  // namespace
