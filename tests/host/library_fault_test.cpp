// A library that faults inside a call: the fault line's form, the calls the
// exercise makes no more, and the way the tool leaves.
#include "connection/library_fault.h"
#include "tests/host/test_fixture.h"

using fake::AnswerToReset;
using fake::CtTerminal;
using fake::LibraryError;
using fake::Status;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

TEST(LibraryFaultLine, NamesTheCallTheCodeAndWhere) {
    struct Row {
        const char* call;
        uint32_t code;
        const char* module;
        uint64_t offset, address;
        int digits;
        const char* line;
    };
    const Row rows[] = {
        {"CT_data", 0xC0000005, "CT_ORB.dll", 0x1A2B, 0x10001A2B, 8,
         "CT-API fault in CT_data: exception C0000005 at CT_ORB.dll+0x00001A2B"},
        {"CT_init", 0xC000001D, "ct_orb.DLL", 0x12345678, 0x7FF812345678, 16,
         "CT-API fault in CT_init: exception C000001D at ct_orb.DLL+0x12345678"},
        {"CT_close", 0xC0000094, "", 0, 0xBEEF, 8, "CT-API fault in CT_close: exception C0000094 at 0x0000BEEF"},
        {"CT_data", 0xE06D7363, "", 0, 0x7FF80000BEEF, 16,
         "CT-API fault in CT_data: exception E06D7363 at 0x00007FF80000BEEF"},
    };
    for (const Row& row : rows) {
        platform::CtApiFault fault;
        fault.call = row.call;
        fault.code = row.code;
        fault.module = row.module;
        fault.offset = row.offset;
        fault.address = row.address;
        fault.addressDigits = row.digits;
        EXPECT_EQ(LibraryFaultLine(fault), row.line);
    }
}

// The fault the fake library raises, and the line the tool logs for it.
platform::CtApiFault AccessViolation() {
    platform::CtApiFault fault;
    fault.code = 0xC0000005;
    fault.module = "CT_ORB.dll";
    fault.offset = 0x1A2B;
    return fault;
}
std::string FaultLine(const char* call) {
    return std::string("CT-API fault in ") + call + ": exception C0000005 at CT_ORB.dll+0x00001A2B";
}

class LibraryFaultTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        Open();
        CtTerminal().fault = AccessViolation();
    }
};

// Whichever call faults, it is the last call made, and the fault line the
// last line of the exercise.
TEST_F(LibraryFaultTest, NoCallFollowsAFault) {
    struct Row {
        std::vector<fake::CtAnswer> answers;
        size_t faultingCall;
        std::vector<std::string> calls;
        std::vector<std::string> lines;
    };
    const std::string init = "init 1 3", resetTerminal = "data 1 2 20 11 00 00 room 100",
                      resetPatient = "data 1 2 20 11 01 01 00 room 100",
                      waitPatient = "data 1 2 20 12 01 00 01 3C room 100",
                      resetDoctor = "data 5 2 20 11 02 01 00 room 100";
    const Row rows[] = {
        {{}, 1, {init}, {FaultLine("CT_init")}},
        {{Status(0x90, 0x00), Status(0x64, 0xA1)},
         4,
         {init, resetTerminal, resetPatient, waitPatient},
         {"Terminal OK", "Insert a card in a patient's slot", FaultLine("CT_data")}},
        {{Status(0x90, 0x00), AnswerToReset(), AnswerToReset()},
         5,
         {init, resetTerminal, resetPatient, resetDoctor, "close 1"},
         {"Terminal OK", "Communication with card Patient's slot OK", "Communication with Doctor's card slot OK",
          FaultLine("CT_close")}},
        {{LibraryError(-10)}, 3, {init, resetTerminal, "close 1"}, {"RESET Terminal fail", FaultLine("CT_close")}},
    };
    for (const Row& row : rows) {
        fake::ResetTerminal();
        CtTerminal().fault = AccessViolation();
        CtTerminal().answers.assign(row.answers.begin(), row.answers.end());
        CtTerminal().faultingCall = row.faultingCall;
        fake::Control(*dlg, 1002).items.clear();
        dlg->m_passed = true;
        dlg->TestReader(3);
        EXPECT_THAT(fake::CallTrace(), ElementsAreArray(row.calls)) << "fault at call " << row.faultingCall;
        EXPECT_THAT(ListLines(), ElementsAreArray(row.lines)) << "fault at call " << row.faultingCall;
        EXPECT_FALSE(dlg->m_passed);
    }
}

TEST_F(LibraryFaultTest, TheRunEndsFailedSavesItsLogAndTheToolLeavesWithCodeThree) {
    fake::Click(*dlg, 1001);
    CtTerminal().answers = {Status(0x90, 0x00), Status(0x64, 0xA1)};
    CtTerminal().faultingCall = 4;
    fake::Click(*dlg, 1005);

    const std::vector<std::string> log = Lines(ReadFile(kLogFile));
    ASSERT_GE(log.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(log.end() - 3, log.end()),
                ElementsAre(FaultLine("CT_data"), "*** QSX 7100-K SERIAL Test Fail ***", ""));
    EXPECT_FALSE(FileExists(kSessionFile));
    ASSERT_EQ(fake::State().errorBoxes.size(), 1u);
    const fake::System::ErrorBox& box = fake::State().errorBoxes[0];
    EXPECT_EQ(box.owner, dlg->m_hWnd);
    EXPECT_EQ(box.caption, "Slot Bench");
    EXPECT_EQ(box.text,
              "The card-terminal library CT_ORB.dll failed inside CT_data.\n\n"
              "The log was saved as QSX7100-K.log in the current folder.\n\nSlot Bench will now close.");
    EXPECT_EQ(box.exitCode, 3);
    EXPECT_FALSE(box.sessionFileThere) << "the exit steps must run before the box";
    EXPECT_EQ(CtTerminal().calls.size(), 4u);
}

}  // namespace
