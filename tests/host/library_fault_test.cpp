// A library that faults inside a call: the fault line's form, and the way the
// run and the tool end (which calls follow a fault, for every call that can
// fault: e2e library_fault).
#include "connection/library_fault.h"
#include "tests/host/test_fixture.h"

using fake::CtTerminal;
using fake::Status;
using ::testing::ElementsAre;

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
        CtTerminal().faults = {AccessViolation()};
    }
};

// The box says where this session's lines are, and the files agree: it
// never sends the user to a log that holds an earlier session.
TEST_F(LibraryFaultTest, TheRunEndsFailedAndTheBoxSaysWhereTheLogIsBeforeTheToolLeavesWithCodeThree) {
    using fake::FileOp;
    const std::string saved = "The log was saved as QSX7100-K.log in the current folder.";
    const std::string leftInTmp =
        "This session's log could not be saved. Its lines are in the file tmp in the current folder.";
    const std::string nowhere =
        "This session's log could not be saved: none of its lines could be written to a file.";
    const std::string lost = " Some of its lines could not be written and may be missing.";
    const std::string savedLost = saved + lost, leftInTmpLost = leftInTmp + lost;
    const struct {
        const char* what;
        std::vector<fake::FileFault> faults;
        const std::string& sentence;
        const char* fileWithTheLines;  // null: no file has them
    } kCases[] = {
        {"all goes well", {}, saved, kLogFile},
        {"the copy fails", {{FileOp::Copy, kLogFile}}, leftInTmp, kSessionFile},
        {"tmp never opened", {{FileOp::Open, kSessionFile}}, nowhere, nullptr},
        {"no line reaches tmp", {{FileOp::Write, kSessionFile}}, nowhere, nullptr},
        // The third line of the run (its date) is lost; the fault line is not.
        {"a write fails", {{FileOp::Write, kSessionFile, 2, 1}}, savedLost, kLogFile},
        {"a flush fails, then the copy", {{FileOp::Flush, kSessionFile, 2, 1}, {FileOp::Copy, kLogFile}},
         leftInTmpLost, kSessionFile},
    };
    const std::string earlier = "an earlier session\n";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        WriteFile(kLogFile, earlier);
        fake::State().fileFaults = c.faults;
        Open();
        fake::Click(*dlg, 1001);
        CtTerminal().answers = {Status(0x90, 0x00), Status(0x64, 0xA1)};
        CtTerminal().faultingCall = 4;
        fake::Click(*dlg, 1005);

        ASSERT_EQ(fake::State().errorBoxes.size(), 1u);
        const fake::System::ErrorBox& box = fake::State().errorBoxes[0];
        EXPECT_EQ(box.owner, dlg->m_hWnd);
        EXPECT_EQ(box.caption, "Slot Bench");
        EXPECT_EQ(box.text, "The card-terminal library CT_ORB.dll failed inside CT_data.\n\n" + c.sentence +
                                "\n\nSlot Bench will now close.");
        EXPECT_EQ(box.exitCode, 3);
        EXPECT_EQ(CtTerminal().calls.size(), 4u);

        fake::State().fileFaults.clear();
        const bool inLog = c.fileWithTheLines == kLogFile;
        const bool inTmp = c.fileWithTheLines == kSessionFile;
        EXPECT_EQ(box.sessionFileThere, inTmp) << "the exit steps must run before the box";
        if (!inLog) {
            EXPECT_EQ(ReadFile(kLogFile), earlier);
        }
        if (c.fileWithTheLines != nullptr) {
            const std::vector<std::string> log = Lines(ReadFile(c.fileWithTheLines));
            ASSERT_GE(log.size(), 3u);
            EXPECT_THAT(std::vector<std::string>(log.end() - 3, log.end()),
                        ElementsAre(FaultLine("CT_data"), "*** QSX 7100-K SERIAL Test Fail ***", ""));
        }
    }
}

// A library whose unwind code faults again while the guard unwinds it: the
// second fault does not hide the first.
TEST_F(LibraryFaultTest, TheFirstFaultOfACallIsTheOneLogged) {
    platform::CtApiFault again = AccessViolation();
    again.code = 0xC000001D;
    again.offset = 0x2000;
    CtTerminal().faults.push_back(again);
    Open();
    fake::Click(*dlg, 1001);
    CtTerminal().faultingCall = 1;
    fake::Click(*dlg, 1005);

    const std::vector<std::string> log = Lines(ReadFile(kLogFile));
    ASSERT_GE(log.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(log.end() - 3, log.end()),
                ElementsAre(FaultLine("CT_init"), "*** QSX 7100-K SERIAL Test Fail ***", ""));
    platform::CtApiFault left;
    EXPECT_FALSE(platform::TakeCtApiFault(left)) << "the second fault must not wait for the next call";
}

}  // namespace
