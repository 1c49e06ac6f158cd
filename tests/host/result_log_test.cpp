// The result log: the list, the session file's bytes, and the log files kept
// from one start to the next, including sessions that never reached their
// exit steps.
#include <cstdio>

#include "tests/host/test_fixture.h"

using ::testing::ElementsAre;

namespace {

const char kSeparator[] = "-------------------------------------------";

using ResultLogTest = DialogTest;

TEST_F(ResultLogTest, EachLineIsOnDiskBeforeTheListShowsIt) {
    Open();
    // What the session file holds as each line is shown: a kill then loses
    // nothing that was seen.
    std::vector<std::string> onDisk;
    ControlWindow(1002).onInsert = [&](const std::string&) { onDisk.push_back(ReadFile(kSessionFile)); };
    dlg->LogText("first");
    dlg->LogMessage(114);
    EXPECT_THAT(onDisk, ElementsAre("first\n", "first\nTerminal OK\n"));
    EXPECT_THAT(ListLines(), ElementsAre("first", "Terminal OK"));
}

TEST_F(ResultLogTest, NewLineIsScrolledIntoViewAndLeftUnselected) {
    Open();
    dlg->LogText("a");
    dlg->LogText("b");
    fake::Window& list = ControlWindow(1002);
    EXPECT_EQ(list.currentSelection, -1);
    EXPECT_EQ(list.selectionChanges, 4);  // selected, then cleared, per line
    EXPECT_EQ(list.repaints, 2);          // shown before the next blocking step
}

TEST_F(ResultLogTest, SessionFileBytesAreExact) {
    Open();
    dlg->LogMessage(113);
    dlg->LogText("");
    dlg->LogMessage(104);
    dlg->LogMessage(105);
    EXPECT_EQ(ReadFile(kSessionFile),
              "Com Error Terminal              \n"
              "\n"
              "*** QSX 7100-K SERIAL Test Success ***\n\n"
              "*** QSX 7100-K USB Test Fail ***\n\n");
    // The list shows the verdicts without their own line feed.
    EXPECT_THAT(ListLines(), ElementsAre("Com Error Terminal              ", "",
                                         "*** QSX 7100-K SERIAL Test Success ***",
                                         "*** QSX 7100-K USB Test Fail ***"));
}

TEST_F(ResultLogTest, EveryMessageOfTheTableLogsItsText) {
    Open();
    for (unsigned id = 102; id <= 128; ++id) dlg->LogMessage(id);
    const std::vector<std::string> lines = ListLines();
    ASSERT_EQ(lines.size(), 27u);
    EXPECT_EQ(lines[0], "QSX 7100-K Connection test");
    EXPECT_EQ(lines[8], "CT-API version:");
    EXPECT_EQ(lines[22], "Operating System: ");
    EXPECT_EQ(lines[23], "Plug your USB QSX 7100-K device (time out 30 sec)...");
    EXPECT_EQ(lines[26], "Registry Error");
}

TEST_F(ResultLogTest, MessageWithoutTextLogsNothing) {
    Open();
    dlg->LogMessage(100);
    dlg->LogMessage(129);
    dlg->LogMessage(0);
    EXPECT_TRUE(ListLines().empty());
    EXPECT_EQ(ReadFile(kSessionFile), "");
}

TEST_F(ResultLogTest, ClearEmptiesTheListButNotTheFile) {
    Open();
    dlg->LogText("one");
    dlg->LogText("two");
    fake::Click(*dlg, 1003);
    EXPECT_TRUE(ListLines().empty());
    dlg->LogText("three");
    EXPECT_THAT(ListLines(), ElementsAre("three"));
    EXPECT_EQ(ReadFile(kSessionFile), "one\ntwo\nthree\n");
}

TEST_F(ResultLogTest, ExitMakesTheSessionTheLogAndRemovesTheSessionFile) {
    WriteFile(kLogFile, "earlier session\n");
    Open();
    dlg->LogText("this session");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "this session\n");
    EXPECT_EQ(ReadFile(kOldLogFile), "earlier session\n");
    EXPECT_FALSE(FileExists(kSessionFile));
    EXPECT_TRUE(fake::WindowOf(*dlg).ended);
}

TEST_F(ResultLogTest, RotationOverTwoSessions) {
    Open();
    dlg->LogText("session one");
    Exit();

    dlg = std::make_unique<CSlotBenchDlg>();
    Open();
    dlg->LogText("session two");
    Exit();

    EXPECT_EQ(ReadFile(kLogFile), "session two\n");
    EXPECT_EQ(ReadFile(kOldLogFile), "session one\n");
}

TEST_F(ResultLogTest, SessionWithoutLinesLeavesTheLogUntouched) {
    WriteFile(kLogFile, "kept\n");
    WriteFile(kOldLogFile, "older\n");
    Open();
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "kept\n");
    EXPECT_EQ(ReadFile(kOldLogFile), "kept\n");  // a fresh copy made at start
    EXPECT_FALSE(FileExists(kSessionFile));
}

TEST_F(ResultLogTest, EmptyOrMissingLogMakesNoCopy) {
    WriteFile(kOldLogFile, "older\n");
    Open();
    Exit();
    EXPECT_EQ(ReadFile(kOldLogFile), "older\n");
    EXPECT_FALSE(FileExists(kLogFile));

    WriteFile(kLogFile, "");
    dlg = std::make_unique<CSlotBenchDlg>();
    Open();
    Exit();
    EXPECT_EQ(ReadFile(kOldLogFile), "older\n");
}

TEST_F(ResultLogTest, UnopenableSessionFileLogsToTheListOnly) {
    WriteFile(kLogFile, "previous\n");
    fake::State().fileFaults.push_back({fake::FileOp::Open, kSessionFile});
    Open();
    EXPECT_THAT(ListLines(), ElementsAre("Error : the log file can not be opened"));
    EXPECT_EQ(dlg->m_sessionLog, nullptr);
    dlg->LogText("still shown");
    EXPECT_EQ(ListLines().back(), "still shown");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "previous\n");
    EXPECT_FALSE(FileExists(kSessionFile));
}

TEST_F(ResultLogTest, SessionLeftByAKilledSessionIsRecoveredAsTheLog) {
    // As the tool writes it on Windows, in text mode: CR LF.
    const std::string killed = std::string(kSeparator) + "\r\nkilled session line 2\r\n";
    WriteFile(kLogFile, "session before\n");
    WriteFile(kSessionFile, killed);
    Open();
    EXPECT_EQ(ReadFile(kLogFile), killed);
    EXPECT_EQ(ReadFile(kOldLogFile), killed);
    EXPECT_EQ(ReadFile(kSessionFile), "");
    dlg->LogText("new session");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "new session\n");
    EXPECT_EQ(ReadFile(kOldLogFile), killed);
}

TEST_F(ResultLogTest, SessionFileTheToolDidNotWriteIsNotALostSession) {
    // Someone's own file named tmp, a separator cut short, or one that is
    // not a line of its own: none of them replaces the log.
    const std::string separator = kSeparator;
    for (const std::string& foreign : {std::string("notes of the day\n"), separator.substr(0, 20),
                                      separator + "-\n", "x" + separator + "\n", separator}) {
        WriteFile(kLogFile, "session before\n");
        std::remove(kOldLogFile);
        WriteFile(kSessionFile, foreign);
        dlg = std::make_unique<CSlotBenchDlg>();
        Open();
        EXPECT_EQ(ReadFile(kLogFile), "session before\n") << foreign;
        EXPECT_EQ(ReadFile(kOldLogFile), "session before\n") << foreign;
        Exit();
        EXPECT_EQ(ReadFile(kLogFile), "session before\n") << foreign;
    }
}

TEST_F(ResultLogTest, EmptySessionFileLeftBehindIsNotALog) {
    WriteFile(kLogFile, "session before\n");
    WriteFile(kSessionFile, "");
    Open();
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "session before\n");
}

TEST_F(ResultLogTest, UnrecoverableSessionFileIsKeptAndAppendedTo) {
    const std::string killed = std::string(kSeparator) + "\nkilled session\n";
    WriteFile(kSessionFile, killed);
    fake::State().fileFaults.push_back({fake::FileOp::Copy, kLogFile, 0, 1});
    Open();
    dlg->LogText("new session");
    EXPECT_EQ(ReadFile(kSessionFile), killed + "new session\n");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), killed + "new session\n");
}

TEST_F(ResultLogTest, FailedCopyAtExitKeepsTheSessionFileForTheNextStart) {
    Open();
    dlg->LogText(kSeparator);
    dlg->LogText("must survive");
    const std::string session = std::string(kSeparator) + "\nmust survive\n";
    fake::State().fileFaults.push_back({fake::FileOp::Copy, kLogFile, 0, 1});
    Exit();
    EXPECT_EQ(ReadFile(kSessionFile), session);
    EXPECT_FALSE(FileExists(kLogFile));

    dlg = std::make_unique<CSlotBenchDlg>();
    Open();
    EXPECT_EQ(ReadFile(kLogFile), session);
}

TEST_F(ResultLogTest, ExitStepsRunOnceHoweverOftenAskedFor) {
    Open();
    dlg->LogText("line");
    Exit();
    WriteFile(kLogFile, "written by someone else\n");
    const int copies = fake::State().fileOpCalls[fake::FileOp::Copy];
    dlg->CloseSessionLog();
    dlg->OnCancel();
    EXPECT_EQ(fake::State().fileOpCalls[fake::FileOp::Copy], copies);
    EXPECT_EQ(ReadFile(kLogFile), "written by someone else\n");
    dlg->LogText("after exit");
    EXPECT_FALSE(FileExists(kSessionFile));
}

}  // namespace
