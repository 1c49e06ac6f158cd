// The result log when the file system lets it down: each file operation fails
// in turn, and the disk fills up. The tool works on, and no line that reached
// the session file is lost.
#include "tests/host/test_fixture.h"

using ::testing::ElementsAre;

namespace {

using ResultLogFaultTest = DialogTest;
using fake::FileOp;

void FailNext(FileOp op, const std::string& name, int skip = 0, int times = 1) {
    fake::State().fileFaults.push_back({op, name, skip, times});
}

TEST_F(ResultLogFaultTest, FailedWriteLosesOnlyThatLine) {
    Open();
    dlg->LogText("one");
    EXPECT_FALSE(dlg->m_sessionLinesLost);
    FailNext(FileOp::Write, kSessionFile);
    dlg->LogText("two");
    EXPECT_TRUE(dlg->m_sessionLinesLost);
    dlg->LogText("three");
    EXPECT_THAT(ListLines(), ElementsAre("one", "two", "three"));
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "one\nthree\n");
}

TEST_F(ResultLogFaultTest, FailedFlushLosesNothing) {
    Open();
    FailNext(FileOp::Flush, kSessionFile, 0, 3);
    dlg->LogText("one");
    dlg->LogText("two");
    dlg->LogText("three");
    dlg->LogText("four");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "one\ntwo\nthree\nfour\n");
}

TEST_F(ResultLogFaultTest, UnreadablePreviousLogMakesNoCopyAndTheToolWorksOn) {
    WriteFile(kLogFile, "previous\n");
    WriteFile(kOldLogFile, "older\n");
    FailNext(FileOp::Read, kLogFile);
    Open();
    EXPECT_TRUE(ListLines().empty());
    EXPECT_EQ(ReadFile(kOldLogFile), "older\n");
    dlg->LogText("this session");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "this session\n");
}

TEST_F(ResultLogFaultTest, FailedCopyToTheOldLogIsNotReportedAndTheSessionGoesOn) {
    WriteFile(kLogFile, "previous\n");
    FailNext(FileOp::Copy, kOldLogFile);
    Open();
    EXPECT_TRUE(ListLines().empty());
    EXPECT_FALSE(FileExists(kOldLogFile));
    dlg->LogText("this session");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "this session\n");
}

TEST_F(ResultLogFaultTest, EveryCopyFailingKeepsEverySessionsLines) {
    // Each session's run opens with the separator, as every run does.
    const std::string separator = "-------------------------------------------";
    FailNext(FileOp::Copy, "", 0, 1 << 30);
    Open();
    dlg->LogText(separator);
    dlg->LogText("session one");
    Exit();
    EXPECT_EQ(ReadFile(kSessionFile), separator + "\nsession one\n");

    dlg = std::make_unique<CSlotBenchDlg>();
    Open();
    dlg->LogText(separator);
    dlg->LogText("session two");
    Exit();
    EXPECT_EQ(ReadFile(kSessionFile), separator + "\nsession one\n" + separator + "\nsession two\n");
}

TEST_F(ResultLogFaultTest, FailedRemovalIsHarmlessAtTheNextStart) {
    WriteFile(kLogFile, "session zero\n");
    Open();
    dlg->LogText("session one");
    FailNext(FileOp::Remove, kSessionFile);
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "session one\n");
    EXPECT_EQ(ReadFile(kSessionFile), "session one\n");

    dlg = std::make_unique<CSlotBenchDlg>();
    Open();
    EXPECT_EQ(ReadFile(kOldLogFile), "session one\n");
    dlg->LogText("session two");
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "session two\n");
    EXPECT_FALSE(FileExists(kSessionFile));
}

TEST_F(ResultLogFaultTest, FailedCloseStillSavesTheFlushedLines) {
    Open();
    dlg->LogText("flushed");
    FailNext(FileOp::Close, kSessionFile);
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "flushed\n");
}

TEST_F(ResultLogFaultTest, FullDiskKeepsWhatFitAndTheToolWorksOn) {
    fake::State().diskRoom[kSessionFile] = 10;
    Open();
    dlg->LogText("12345");   // 6 bytes
    dlg->LogText("abcdefgh");  // only 4 more fit
    dlg->LogText("lost");
    EXPECT_THAT(ListLines(), ElementsAre("12345", "abcdefgh", "lost"));
    EXPECT_EQ(ReadFile(kSessionFile), "12345\nabcd");
    EXPECT_TRUE(dlg->m_sessionLinesLost);
    fake::State().diskRoom.clear();
    Exit();
    EXPECT_EQ(ReadFile(kLogFile), "12345\nabcd");
}

}  // namespace
