// The environment lines: operating-system names and the library check with
// every way its version resource can go wrong.
#include "tests/host/test_fixture.h"

using ::testing::ElementsAre;

namespace {

const char kLibraryPath[] = "C:\\WINDOWS\\system32\\CT_ORB.dll";

class EnvironmentReportTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        Open();
    }
    std::string OsLineFor(unsigned long major, unsigned long minor) {
        fake::State().osVersion = {major, minor};
        dlg->OnClear();
        dlg->LogOsVersion();
        return ListLines().empty() ? std::string("<none>") : ListLines().front();
    }
};

TEST_F(EnvironmentReportTest, OperatingSystemNames) {
    EXPECT_EQ(OsLineFor(5, 0), "Operating System: Windows 2000");
    EXPECT_EQ(OsLineFor(5, 1), "Operating System: Windows XP");
    EXPECT_EQ(OsLineFor(5, 2), "Operating System: Windows Server 2003");
    EXPECT_EQ(OsLineFor(6, 0), "Operating System: Windows Vista");
    EXPECT_EQ(OsLineFor(6, 1), "Operating System: Windows 7");
    EXPECT_EQ(OsLineFor(6, 2), "Operating System: Windows 8");
    EXPECT_EQ(OsLineFor(6, 3), "Operating System: Windows 8.1");
    EXPECT_EQ(OsLineFor(10, 0), "Operating System: unknown");
    EXPECT_EQ(OsLineFor(4, 0), "Operating System: unknown");
    EXPECT_EQ(OsLineFor(5, 3), "Operating System: unknown");
    EXPECT_EQ(OsLineFor(6, 4), "Operating System: unknown");
}

TEST_F(EnvironmentReportTest, UnreadableOsVersionSaysSoAndKeepsTheVerdict) {
    fake::State().osVersionAvailable = false;
    dlg->m_passed = true;
    dlg->LogOsVersion();
    EXPECT_THAT(ListLines(), ElementsAre("Unable to get Operating System version"));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(EnvironmentReportTest, InstalledLibraryWithVersion) {
    fake::State().fileVersionMs = (4u << 16) | 2u;
    fake::State().fileVersionLs = (0u << 16) | 1u;
    dlg->CheckCtApi();
    EXPECT_THAT(ListLines(), ElementsAre("CT-API installed", "CT-API version:4.2.0.1"));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(EnvironmentReportTest, VersionPartsUseAllSixteenBits) {
    fake::State().fileVersionMs = 0xFFFF0010;
    fake::State().fileVersionLs = 0x8000FFFE;
    dlg->CheckCtApi();
    EXPECT_EQ(ListLines().back(), "CT-API version:65535.16.32768.65534");
}

TEST_F(EnvironmentReportTest, LibraryElsewhereIsNotFoundAndFails) {
    fake::State().existingFiles = {"C:\\Program Files\\QSX\\CT_ORB.dll"};
    dlg->CheckCtApi();
    EXPECT_THAT(ListLines(), ElementsAre("ERROR: CT-API Not found !"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(EnvironmentReportTest, EmptyVersionResourceFails) {
    fake::State().versionResourceSize = 0;
    dlg->CheckCtApi();
    EXPECT_THAT(ListLines(), ElementsAre("CT-API installed", "Unable to get CT-API version"));
    EXPECT_FALSE(dlg->m_passed);
}

TEST_F(EnvironmentReportTest, UnreadableVersionResourceLeavesTheVerdict) {
    fake::State().versionResourceReadable = false;
    dlg->CheckCtApi();
    EXPECT_THAT(ListLines(), ElementsAre("CT-API installed", "Unable to get CT-API version"));
    EXPECT_TRUE(dlg->m_passed);
}

TEST_F(EnvironmentReportTest, NoFixedInformationMeansNoVersionLine) {
    fake::State().hasFixedFileInfo = false;
    dlg->CheckCtApi();
    EXPECT_THAT(ListLines(), ElementsAre("CT-API installed"));
    EXPECT_TRUE(dlg->m_passed);
}

}  // namespace
