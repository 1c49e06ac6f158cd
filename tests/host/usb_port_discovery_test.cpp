// The wait for the USB terminal: what it logs, when it gives up, how it reads
// the serial device map, and that it sleeps between polls.
#include "tests/host/test_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const uint64_t kStart = 1000000;  // the fake monotonic clock's first reading

class UsbPortDiscoveryTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        Open();
    }
    static void PlugIn(const std::string& port, uint64_t afterMs) {
        fake::State().serial.data.assign(port.begin(), port.end());
        fake::State().serial.data.push_back(0);
        fake::State().serial.presentFromMs = kStart + afterMs;
    }
    static std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
};

const std::vector<std::string> kExerciseLines = {"Terminal OK", "Communication with card Patient's slot OK",
                                                 "Communication with Doctor's card slot OK"};

TEST_F(UsbPortDiscoveryTest, AlreadyPluggedInRunsAtOnceWithoutPromptOrPause) {
    PlugIn("COM5", 0);
    dlg->WaitForUsbReader();
    std::vector<std::string> expected = {"QSX 7100-K Port COM number: COM5"};
    expected.insert(expected.end(), kExerciseLines.begin(), kExerciseLines.end());
    EXPECT_EQ(ListLines(), expected);
    EXPECT_THAT(fake::State().sleeps, IsEmpty());
    EXPECT_EQ(fake::State().waits, 0);
    EXPECT_EQ(fake::CallTrace().front(), "init 1 5");
    EXPECT_TRUE(dlg->m_passed);
    EXPECT_EQ(fake::State().keysOpen, 0);
}

TEST_F(UsbPortDiscoveryTest, PluggedInAfterTenSecondsPromptsPausesThenRuns) {
    PlugIn("COM4", 10000);
    dlg->WaitForUsbReader();
    std::vector<std::string> expected = {"Plug your USB QSX 7100-K device (time out 30 sec)...",
                                         "QSX 7100-K Port COM number: COM4"};
    expected.insert(expected.end(), kExerciseLines.begin(), kExerciseLines.end());
    EXPECT_EQ(ListLines(), expected);
    EXPECT_THAT(fake::State().sleeps, ElementsAre(6000u));
    const fake::CtCall& init = fake::CtTerminal().calls.front();
    EXPECT_EQ(init.pn, 4);
    // Seen within one poll interval of the plug-in, then the full pause.
    EXPECT_GE(init.at, kStart + 10000 + 6000);
    EXPECT_LE(init.at, kStart + 10000 + 50 + 6000);
    EXPECT_TRUE(dlg->m_passed);
    EXPECT_EQ(fake::State().keysOpen, 0);
}

TEST_F(UsbPortDiscoveryTest, NeverPluggedInTimesOutAfterThirtySeconds) {
    dlg->WaitForUsbReader();
    EXPECT_THAT(ListLines(), ElementsAre("Plug your USB QSX 7100-K device (time out 30 sec)...", "Time out"));
    EXPECT_FALSE(dlg->m_passed);
    EXPECT_THAT(fake::CtTerminal().calls, IsEmpty());
    const uint64_t waited = fake::State().monotonicMs - kStart;
    EXPECT_GE(waited, 30000u);
    EXPECT_LE(waited, 30500u);
    EXPECT_EQ(fake::State().keysOpen, 0);
}

TEST_F(UsbPortDiscoveryTest, WatchedMapIsLookedAtAboutOnceASecondAndSeenAtOnce) {
    PlugIn("COM4", 12345);
    dlg->WaitForUsbReader();
    EXPECT_LE(fake::State().serialQueries, 12345 / 1000 + 3);
    EXPECT_EQ(fake::CtTerminal().calls.front().at, kStart + 12345 + 6000);
}

TEST_F(UsbPortDiscoveryTest, WaitSleepsBetweenPollsInsteadOfSpinning) {
    // Where no change of the map can be announced, it is looked at every 50 ms.
    fake::State().serial.watchable = false;
    dlg->WaitForUsbReader();
    // At most one poll per 50 ms over the 30 seconds, each followed by a wait.
    EXPECT_LE(fake::State().serialQueries, 30000 / 50 + 3);
    EXPECT_GE(fake::State().waits, 30000 / 50);
}

TEST_F(UsbPortDiscoveryTest, ClockGoingBackwardsNeitherEndsTheWaitNorStretchesIt) {
    // Five seconds in, the clock reads a second before the wait began.
    bool jumped = false;
    fake::State().onTime = [&jumped](uint64_t now) {
        if (jumped || now < kStart + 5000) return;
        jumped = true;
        fake::State().monotonicMs = kStart - 1000;
    };
    dlg->WaitForUsbReader();
    fake::State().onTime = nullptr;
    EXPECT_THAT(ListLines(), ElementsAre("Plug your USB QSX 7100-K device (time out 30 sec)...", "Time out"));
    const uint64_t lastReading = kStart - 1000 + 25000;  // 5 s before the jump, 25 s after
    EXPECT_GE(fake::State().monotonicMs, lastReading);
    EXPECT_LE(fake::State().monotonicMs, lastReading + 1000);
}

TEST_F(UsbPortDiscoveryTest, ValueAppearingOnlyAtThirtySecondsIsTooLate) {
    PlugIn("COM5", 30000);
    dlg->WaitForUsbReader();
    EXPECT_EQ(ListLines().back(), "Time out");
    EXPECT_THAT(fake::CtTerminal().calls, IsEmpty());
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(UsbPortDiscoveryTest, WallClockJumpsDoNotChangeTheWait) {
    for (int jump : {-3600, +3600}) {
        fake::Reset();
        fake::ResetTerminal();
        dlg->OnClear();
        fake::State().onTime = [jump](uint64_t now) {
            if (now >= kStart + 5000) fake::State().localTime.hour = 12 + jump / 3600;
        };
        dlg->WaitForUsbReader();
        const uint64_t waited = fake::State().monotonicMs - kStart;
        EXPECT_GE(waited, 30000u) << jump;
        EXPECT_LE(waited, 30500u) << jump;
        EXPECT_EQ(ListLines().back(), "Time out");
    }
}

TEST_F(UsbPortDiscoveryTest, UnopenableRegistryKeyFailsWithoutExercise) {
    fake::State().serial.openable = false;
    dlg->WaitForUsbReader();
    EXPECT_THAT(ListLines(), ElementsAre("Registry Error"));
    EXPECT_FALSE(dlg->m_passed);
    EXPECT_THAT(fake::CtTerminal().calls, IsEmpty());
    EXPECT_EQ(fake::State().keysOpened, 0);
}

TEST_F(UsbPortDiscoveryTest, PortNamesBeyondTenRunOnPortEleven) {
    for (const auto& [name, port] : std::vector<std::pair<std::string, int>>{{"COM10", 10}, {"COM12", 11}}) {
        fake::ResetTerminal();
        dlg->OnClear();
        PlugIn(name, 0);
        dlg->WaitForUsbReader();
        EXPECT_EQ(ListLines().front(), "QSX 7100-K Port COM number: " + name);
        EXPECT_EQ(fake::CtTerminal().calls.front().pn, port) << name;
    }
}

TEST_F(UsbPortDiscoveryTest, ValueWithoutTerminatingZeroEndsWithItsBytes) {
    fake::State().serial.data = Bytes("COM7");
    fake::State().serial.presentFromQuery = 1;
    dlg->WaitForUsbReader();
    EXPECT_EQ(ListLines().front(), "QSX 7100-K Port COM number: COM7");
    EXPECT_EQ(fake::CtTerminal().calls.front().pn, 7);
}

TEST_F(UsbPortDiscoveryTest, FullBufferWithoutZeroIsBoundedByIt) {
    fake::State().serial.data = Bytes(std::string(128, 'A'));
    fake::State().serial.presentFromQuery = 1;
    dlg->WaitForUsbReader();
    EXPECT_EQ(ListLines().front(), "QSX 7100-K Port COM number: " + std::string(128, 'A'));
    EXPECT_EQ(fake::CtTerminal().calls.front().pn, 11);
}

TEST_F(UsbPortDiscoveryTest, TextEndsAtTheFirstZero) {
    fake::State().serial.data = Bytes(std::string("COM3\0COM9", 9));
    fake::State().serial.presentFromQuery = 1;
    dlg->WaitForUsbReader();
    EXPECT_EQ(ListLines().front(), "QSX 7100-K Port COM number: COM3");
}

TEST_F(UsbPortDiscoveryTest, FailedQueriesCountAsAbsent) {
    PlugIn("COM2", 0);
    fake::State().serial.failingQueries = {1, 2, 3};
    dlg->WaitForUsbReader();
    EXPECT_EQ(ListLines().front(), "Plug your USB QSX 7100-K device (time out 30 sec)...");
    EXPECT_EQ(ListLines()[1], "QSX 7100-K Port COM number: COM2");
    EXPECT_THAT(fake::State().sleeps, ElementsAre(6000u));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(UsbPortDiscoveryTest, MessagesAreDispatchedWhileWaitingAndQuitIsConsumed) {
    PlugIn("COM5", 3000);
    int dispatched = 0;
    fake::State().messages.push_back({false, [] { return false; }});  // the quit message
    fake::State().messages.push_back({true, [&] { return ++dispatched, true; }});
    dlg->WaitForUsbReader();
    EXPECT_EQ(dispatched, 1);  // the wait went on pumping after the quit message
    EXPECT_TRUE(fake::State().messages.empty());
    EXPECT_EQ(ListLines()[1], "QSX 7100-K Port COM number: COM5");
}

}  // namespace
