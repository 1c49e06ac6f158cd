// A main dialog opened on the in-memory backend, in a fresh temporary folder
// that is the current directory for the test.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log/session_file.h"
#include "platform/memory/fake_system.h"
#include "tests/support/fake_terminal.h"
#include "ui/slotbench_dlg.h"

// The two log files beside the session file, in the test's folder.
inline constexpr char kLogFile[] = "QSX7100-K.log";
inline constexpr char kOldLogFile[] = "QSX7100-K_old.log";

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the dialog (its start-up runs the log start-up). Tests that set
    // up files or faults first call it themselves.
    CSlotBenchDlg& Open();
    // Ends the session as the Exit button does.
    void Exit();

    std::vector<std::string> ListLines() const;
    fake::Window& ControlWindow(int id) { return fake::Control(*dlg, id); }

    static std::string ReadFile(const std::string& name);
    static void WriteFile(const std::string& name, const std::string& bytes);
    static bool FileExists(const std::string& name);

    std::unique_ptr<CSlotBenchDlg> dlg;

private:
    std::string m_folder;
    std::string m_previousFolder;
};

// The lines of a session file, split at line feeds (the last, empty piece
// after the final line feed dropped).
std::vector<std::string> Lines(const std::string& text);
