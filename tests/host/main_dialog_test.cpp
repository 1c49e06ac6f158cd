// The main dialog's start-up, link check boxes, keys, system menu and icon.
#include "tests/host/test_fixture.h"

using ::testing::ElementsAre;

namespace {

using MainDialogTest = DialogTest;

TEST_F(MainDialogTest, StartUpState) {
    Open();
    EXPECT_EQ(ControlWindow(1000).check, 1);
    EXPECT_EQ(ControlWindow(1001).check, 0);
    EXPECT_EQ(ControlWindow(1004).text, "COM1");
    EXPECT_EQ(ControlWindow(1004).currentSelection, 0);
    EXPECT_FALSE(ControlWindow(1004).enabled);
    EXPECT_TRUE(ControlWindow(1005).enabled);
    EXPECT_TRUE(ListLines().empty());
    EXPECT_TRUE(dlg->m_passed);
    EXPECT_EQ(dlg->m_usb, 0);  // the box is checked directly; the member follows at the next exchange
    EXPECT_NE(dlg->m_sessionLog, nullptr);
    EXPECT_TRUE(FileExists("tmp"));
}

TEST_F(MainDialogTest, SystemMenuAndIcons) {
    Open();
    const fake::Window& window = fake::WindowOf(*dlg);
    ASSERT_EQ(window.systemMenu.size(), 2u);
    EXPECT_EQ(window.systemMenu[0].flags, kMenuSeparator);
    EXPECT_EQ(window.systemMenu[1].flags, kMenuString);
    EXPECT_EQ(window.systemMenu[1].id, 0x10u);
    EXPECT_EQ(window.systemMenu[1].text, "&A propos de Slot_Bench...");
    EXPECT_EQ(dlg->OnQueryDragIcon(), LoadAppIcon(128));
}

// At the system's scale the window's big and small icon are both m_hIcon, as
// on any system that draws every window at that scale. Elsewhere they are
// loaded for the window's scale, follow it from monitor to monitor (the
// dialog manager still rescales the window), and each is destroyed once.
TEST_F(MainDialogTest, WindowIconsAreTheProgramsIconAtTheSystemScaleAndLoadedOnlyElsewhere) {
    const struct {
        int system;
        std::vector<int> movedTo;  // WM_DPICHANGED's scale, one move after another
    } kCases[] = {{96, {144, 192, 96}}, {144, {144, 96, 144}}, {192, {120, 192}}};
    for (const auto& c : kCases) {
        SCOPED_TRACE("system at " + std::to_string(c.system) + " dpi");
        fake::Reset();
        fake::State().systemDpi = c.system;
        dlg = std::make_unique<CSlotBenchDlg>();
        Open();
        fake::Window& window = fake::WindowOf(*dlg);
        const auto expectIcons = [&](int dpi) {
            SCOPED_TRACE("at " + std::to_string(dpi) + " dpi");
            if (dpi == c.system) {
                EXPECT_EQ(window.bigIcon, dlg->m_hIcon);
                EXPECT_EQ(window.smallIcon, dlg->m_hIcon);
                return;
            }
            const bool big[] = {true, false};
            const IconHandle shown[] = {window.bigIcon, window.smallIcon};
            for (int i = 0; i < 2; ++i) {
                const auto* scaled = fake::ScaledIconOf(shown[i]);
                ASSERT_NE(scaled, nullptr);
                EXPECT_EQ(scaled->id, 128u);
                EXPECT_EQ(scaled->big, big[i]);
                EXPECT_EQ(scaled->dpi, dpi);
                EXPECT_FALSE(scaled->destroyed);
            }
        };
        expectIcons(c.system);
        EXPECT_TRUE(fake::State().scaledIcons.empty());

        size_t loads = 0;
        for (int dpi : c.movedTo) {
            const int defaultBefore = window.defaultProcessing;
            intptr_t result = 0;
            // Only the message tells the new scale: the window keeps its old one.
            const uintptr_t wParam = static_cast<uintptr_t>(dpi) | (static_cast<uintptr_t>(dpi) << 16);
            EXPECT_TRUE(dlg->DispatchDialogMessage(msg::kDpiChanged, wParam, 0, result));
            expectIcons(dpi);
            EXPECT_EQ(window.defaultProcessing, defaultBefore + 1);
            if (dpi != c.system) loads += 2;
        }
        // Minimised, the window draws the icon of the system's size.
        EXPECT_EQ(dlg->OnQueryDragIcon(), LoadAppIcon(128));

        Exit();
        dlg.reset();
        const auto& icons = fake::State().scaledIcons;
        EXPECT_EQ(icons.size(), loads);
        for (const auto& icon : icons) EXPECT_TRUE(icon.destroyed);
        EXPECT_EQ(fake::State().badIconReleases, 0);
    }
}

TEST_F(MainDialogTest, LinkBoxesBehaveAsAPairThatCanBothBeUnchecked) {
    Open();
    fake::Click(*dlg, 1001);  // SERIAL on
    EXPECT_EQ(ControlWindow(1001).check, 1);
    EXPECT_EQ(ControlWindow(1000).check, 0);
    EXPECT_TRUE(ControlWindow(1004).enabled);

    fake::Click(*dlg, 1000);  // USB on
    EXPECT_EQ(ControlWindow(1000).check, 1);
    EXPECT_EQ(ControlWindow(1001).check, 0);
    EXPECT_FALSE(ControlWindow(1004).enabled);

    fake::Click(*dlg, 1001);
    fake::Click(*dlg, 1001);  // SERIAL off again: both unchecked, combo stays enabled
    EXPECT_EQ(ControlWindow(1000).check, 0);
    EXPECT_EQ(ControlWindow(1001).check, 0);
    EXPECT_TRUE(ControlWindow(1004).enabled);
    EXPECT_EQ(dlg->m_serial, 0);

    fake::Click(*dlg, 1000);
    fake::Click(*dlg, 1000);  // USB off: nothing else changes
    EXPECT_EQ(ControlWindow(1001).check, 0);
    EXPECT_FALSE(ControlWindow(1004).enabled);
}

TEST_F(MainDialogTest, EscapeAndCloseBoxEndLikeExit) {
    Open();
    dlg->LogText("logged");
    fake::Command(*dlg, msg::kIdCancel);  // Escape and the close box arrive as the cancel command
    EXPECT_TRUE(fake::WindowOf(*dlg).ended);
    EXPECT_EQ(fake::WindowOf(*dlg).endResult, msg::kIdCancel);
    EXPECT_EQ(ReadFile("QSX7100-K.log"), "logged\n");
    EXPECT_FALSE(FileExists("tmp"));
}

TEST_F(MainDialogTest, EnterOutsideAPushButtonDoesNotEndTheDialog) {
    Open();
    dlg->LogText("kept");
    fake::Command(*dlg, msg::kIdOk);  // what Enter sends from the list, combo or a check box
    EXPECT_FALSE(fake::WindowOf(*dlg).ended);
    EXPECT_EQ(ReadFile("tmp"), "kept\n");
    Exit();
    EXPECT_EQ(ReadFile("QSX7100-K.log"), "kept\n");
}

TEST_F(MainDialogTest, AboutEntryOpensTheAboutBox) {
    Open();
    fake::SysCommand(*dlg, 0x10);
    fake::SysCommand(*dlg, 0x1F);  // the low four bits are the system's own
    EXPECT_THAT(fake::ModalRuns(), ElementsAre(100u, 100u));
    EXPECT_FALSE(fake::WindowOf(*dlg).ended);
}

TEST_F(MainDialogTest, OtherSystemCommandsGetDefaultProcessing) {
    Open();
    fake::SysCommand(*dlg, 0xF020);  // minimise
    EXPECT_TRUE(fake::ModalRuns().empty());
    EXPECT_EQ(fake::WindowOf(*dlg).defaultProcessing, 1);
}

TEST_F(MainDialogTest, MinimisedWindowDrawsTheIconCentred) {
    Open();
    fake::Window& window = fake::WindowOf(*dlg);
    dlg->OnPaint();
    EXPECT_TRUE(window.iconDraws.empty());
    EXPECT_EQ(window.defaultProcessing, 1);

    window.iconic = true;
    window.client = {0, 0, 37, 36};
    dlg->OnPaint();
    ASSERT_EQ(window.iconDraws.size(), 1u);
    EXPECT_EQ(window.iconDraws[0].x, 3);  // (37 - 32 + 1) / 2
    EXPECT_EQ(window.iconDraws[0].y, 2);  // (36 - 32 + 1) / 2
    EXPECT_EQ(window.iconDraws[0].icon, LoadAppIcon(128));
    EXPECT_EQ(window.iconBackgroundErases, 1);
}

}  // namespace
