// The reader exercise against a scripted terminal: the exact requests, their
// order and addresses, and the lines each outcome logs.
#include "tests/host/test_fixture.h"

using fake::AnswerToReset;
using fake::CtTerminal;
using fake::LibraryError;
using fake::Status;
using ::testing::ElementsAre;

namespace {

const char kResetTerminal[] = "data 1 2 20 11 00 00 room 100";
const char kResetPatient[] = "data 1 2 20 11 01 01 00 room 100";
const char kWaitPatient[] = "data 1 2 20 12 01 00 01 3C room 100";
const char kResetDoctor[] = "data 5 2 20 11 02 01 00 room 100";
const char kWaitDoctor[] = "data 5 2 20 12 02 00 01 3C room 100";

class ReaderExerciseTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        Open();
    }
    void Script(std::initializer_list<fake::CtAnswer> answers) {
        CtTerminal().answers.assign(answers.begin(), answers.end());
    }
};

TEST(PortNumberFromName, KnownNamesGiveTheirNumber) {
    EXPECT_EQ(CSlotBenchDlg::PortNumberFromName("COM1"), 1);
    EXPECT_EQ(CSlotBenchDlg::PortNumberFromName("COM3"), 3);
    EXPECT_EQ(CSlotBenchDlg::PortNumberFromName("COM9"), 9);
    EXPECT_EQ(CSlotBenchDlg::PortNumberFromName("COM10"), 10);
}

TEST(PortNumberFromName, EveryOtherTextGivesEleven) {
    for (const char* name : {"COM11", "COM12", "com3", "COM03", "", "COM", "COM1 ", " COM1", "COM0",
                             "COM100", "LPT1"})
        EXPECT_EQ(CSlotBenchDlg::PortNumberFromName(name), 11) << '"' << name << '"';
    EXPECT_EQ(CSlotBenchDlg::PortNumberFromName(std::string("COM1\0X", 6)), 11);
}

TEST_F(ReaderExerciseTest, AllGoodSendsEveryRequestOnceWithItsAddresses) {
    Script({Status(0x90, 0x00), AnswerToReset(), AnswerToReset()});
    dlg->TestReader(3);
    EXPECT_THAT(fake::CallTrace(),
                ElementsAre("init 1 3", kResetTerminal, kResetPatient, kResetDoctor, "close 1"));
    EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "Communication with card Patient's slot OK",
                                         "Communication with Doctor's card slot OK"));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, AddressesAreSetAgainHoweverTheLibraryRewroteThem) {
    fake::CtAnswer scrambled = AnswerToReset();
    scrambled.dadBack = 0x77;
    scrambled.sadBack = 0x33;
    fake::CtAnswer scrambledStatus = Status(0x90, 0x00);
    scrambledStatus.dadBack = 0;
    scrambledStatus.sadBack = 0;
    Script({scrambledStatus, Status(0x64, 0xA1), scrambled, Status(0x64, 0xA1), scrambled});
    dlg->TestReader(1);
    EXPECT_THAT(fake::CallTrace(), ElementsAre("init 1 1", kResetTerminal, kResetPatient, kWaitPatient,
                                               kResetDoctor, kWaitDoctor, "close 1"));
}

TEST_F(ReaderExerciseTest, EveryRequestOffersTheWholeBuffer) {
    // A terminal reset answers with two bytes; the slot reset after it must
    // still be offered room for a whole answer to reset.
    Script({Status(0x90, 0x00), AnswerToReset(), AnswerToReset()});
    dlg->TestReader(2);
    for (const fake::CtCall& call : CtTerminal().calls)
        if (call.kind == fake::CtCall::Data) {
            EXPECT_EQ(call.lenrOffered, 100);
        }
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, InitFailureLogsOnlyThatAndNeverCloses) {
    CtTerminal().initResult = -1;
    dlg->TestReader(4);
    EXPECT_THAT(fake::CallTrace(), ElementsAre("init 1 4"));
    EXPECT_THAT(ListLines(), ElementsAre("CT_INIT fail"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, TerminalResetLibraryErrorClosesAndEnds) {
    Script({LibraryError(-8)});
    dlg->TestReader(1);
    EXPECT_THAT(fake::CallTrace(), ElementsAre("init 1 1", kResetTerminal, "close 1"));
    EXPECT_THAT(ListLines(), ElementsAre("RESET Terminal fail"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, TerminalStatusNotGoodFailsButSlotsAreStillTested) {
    Script({Status(0x90, 0x02), AnswerToReset(), AnswerToReset()});
    dlg->TestReader(1);
    EXPECT_THAT(ListLines(), ElementsAre("Com Error Terminal              ",
                                         "Communication with card Patient's slot OK",
                                         "Communication with Doctor's card slot OK"));
    EXPECT_FALSE(dlg->m_passed);
    EXPECT_EQ(CtTerminal().calls.back().kind, fake::CtCall::Close);
}

TEST_F(ReaderExerciseTest, GoodStatusIsNinetyWithZeroOrOne) {
    Script({Status(0x90, 0x01), Status(0x90, 0x00), Status(0x90, 0x01)});
    dlg->TestReader(1);
    EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "Communication with card Patient's slot OK",
                                         "Communication with Doctor's card slot OK"));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, OtherSecondStatusBytesAreNotGood) {
    for (uint8_t sw2 : {0x02, 0x03, 0x10, 0x81, 0xFF}) {
        fake::ResetTerminal();
        dlg->m_passed = true;
        dlg->OnClear();
        Script({Status(0x90, sw2), AnswerToReset(), Status(0x91, 0x00)});
        dlg->TestReader(1);
        EXPECT_THAT(ListLines(), ElementsAre("Com Error Terminal              ",
                                             "Communication with card Patient's slot OK",
                                             "Com Error Doctor's card slot"))
            << "SW2 " << int(sw2);
        EXPECT_FALSE(dlg->m_passed);
    }
}

TEST_F(ReaderExerciseTest, EmptySlotsFilledWhenAsked) {
    Script({Status(0x90, 0x00), Status(0x64, 0xA1), AnswerToReset(), Status(0x64, 0xA1),
            AnswerToReset(0x00)});
    dlg->TestReader(5);
    EXPECT_THAT(fake::CallTrace(), ElementsAre("init 1 5", kResetTerminal, kResetPatient, kWaitPatient,
                                               kResetDoctor, kWaitDoctor, "close 1"));
    EXPECT_THAT(ListLines(),
                ElementsAre("Terminal OK", "Insert a card in a patient's slot",
                            "Communication with card Patient's slot OK",
                            "Insert a card in the doctor's slot", "Communication with Doctor's card slot OK"));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, CardRequestEndingNotGoodReportsTheSlotAndGoesOn) {
    // No card came in time: 62 00 for the patient's slot; the doctor's slot is
    // still tested, then its own request ends not good too.
    Script({Status(0x90, 0x00), Status(0x64, 0xA1), Status(0x62, 0x00), Status(0x64, 0xA1),
            Status(0x62, 0x00)});
    dlg->TestReader(1);
    EXPECT_THAT(ListLines(),
                ElementsAre("Terminal OK", "Insert a card in a patient's slot", "Com Error patient card's slot",
                            "Insert a card in the doctor's slot", "Com Error Doctor's card slot"));
    EXPECT_EQ(fake::CallTrace().back(), "close 1");
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, CardRequestLibraryErrorIsNotGood) {
    // The request failed: whatever the buffer still holds is no answer.
    fake::CtAnswer failed = LibraryError(-10);
    Script({Status(0x90, 0x00), Status(0x64, 0xA1), failed, AnswerToReset()});
    dlg->TestReader(1);
    EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "Insert a card in a patient's slot",
                                         "Com Error patient card's slot",
                                         "Communication with Doctor's card slot OK"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, SlotErrorStatusSkipsThePromptAndFails) {
    Script({Status(0x90, 0x00), Status(0x6A, 0x00), Status(0x64, 0xA2)});
    dlg->TestReader(1);
    EXPECT_THAT(fake::CallTrace(),
                ElementsAre("init 1 1", kResetTerminal, kResetPatient, kResetDoctor, "close 1"));
    EXPECT_THAT(ListLines(),
                ElementsAre("Terminal OK", "Com Error patient card's slot", "Com Error Doctor's card slot"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, PatientResetLibraryErrorSkipsTheDoctorsSlotAndCloses) {
    Script({Status(0x90, 0x00), LibraryError(-128)});
    dlg->TestReader(1);
    EXPECT_THAT(fake::CallTrace(), ElementsAre("init 1 1", kResetTerminal, kResetPatient, "close 1"));
    EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "RESET card in patient's slot fail"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, DoctorResetLibraryErrorClosesAndEnds) {
    Script({Status(0x90, 0x00), AnswerToReset(), LibraryError(-1)});
    dlg->TestReader(1);
    EXPECT_THAT(fake::CallTrace(),
                ElementsAre("init 1 1", kResetTerminal, kResetPatient, kResetDoctor, "close 1"));
    EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "Communication with card Patient's slot OK",
                                         "RESET card in doctor's slot fail"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, CloseFailureIsLoggedAndFails) {
    CtTerminal().closeResult = -1;
    Script({Status(0x90, 0x00), AnswerToReset(), AnswerToReset()});
    dlg->TestReader(1);
    EXPECT_EQ(ListLines().back(), "CT_CLOSE fail");
    EXPECT_EQ(ListLines().size(), 4u);
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(ReaderExerciseTest, ReportedLengthsWithoutStatusWordInsideTheBufferAreNotGood) {
    for (int length : {0, 1, 101, 65535}) {
        fake::ResetTerminal();
        dlg->OnClear();
        dlg->m_passed = true;
        fake::CtAnswer odd = Status(0x90, 0x00);
        odd.reportedLength = length;
        Script({odd, odd, odd});
        dlg->TestReader(1);
        EXPECT_THAT(ListLines(), ElementsAre("Com Error Terminal              ",
                                             "Com Error patient card's slot",
                                             "Com Error Doctor's card slot"))
            << "length " << length;
        EXPECT_FALSE(dlg->m_passed);
    }
}

// A library that copies its whole answer past the room offered: the answer
// is judged on its reported length (too long: not good), and nothing the
// library wrote lands outside the tool's buffer (AddressSanitizer watches).
TEST_F(ReaderExerciseTest, AnswersWrittenPastTheRoomOfferedAreNotGoodAndHarmNothing) {
    for (size_t length : {101u, 202u, 4096u, 65535u}) {
        fake::ResetTerminal();
        dlg->OnClear();
        dlg->m_passed = true;
        fake::CtAnswer tooLong;
        tooLong.response.assign(length, 0x5A);
        tooLong.response[length - 2] = 0x90;
        tooLong.response[length - 1] = 0x00;
        tooLong.ignoresRoom = true;
        // A check byte and a little of the library's framing follow the answer.
        fake::CtAnswer framed = tooLong;
        framed.response.insert(framed.response.end(), {0xB3, 0x00, 0x00, 0x00});
        framed.reportedLength = static_cast<int>(length);
        fake::CtAnswer failing = framed;
        failing.result = -11;
        Script({Status(0x90, 0x00), tooLong, framed});
        dlg->TestReader(1);
        EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "Com Error patient card's slot",
                                             "Com Error Doctor's card slot"))
            << "length " << length;
        EXPECT_FALSE(dlg->m_passed);

        fake::ResetTerminal();
        dlg->OnClear();
        Script({Status(0x90, 0x00), failing});
        dlg->TestReader(1);
        EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "RESET card in patient's slot fail"))
            << "failing call, length " << length;
    }
}

TEST_F(ReaderExerciseTest, StatusWordIsTheLastTwoReportedBytes) {
    // A 100-byte answer ending in 90 00 is good; the same bytes reported as
    // 99 long end in a data byte and are not.
    fake::CtAnswer full;
    full.response.assign(100, 0x55);
    full.response[98] = 0x90;
    full.response[99] = 0x00;
    fake::CtAnswer shorter = full;
    shorter.reportedLength = 99;
    Script({full, shorter, full});
    dlg->TestReader(1);
    EXPECT_THAT(ListLines(), ElementsAre("Terminal OK", "Com Error patient card's slot",
                                         "Communication with Doctor's card slot OK"));
}

}  // namespace
